"""Autocorrelation, partial autocorrelation and residual diagnostics."""
import math
from fractions import Fraction

import numpy as np
from scipy.signal import lfilter
import pytest
from scipy import stats

from conftest import loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan


def ar1(n, phi=0.6, seed=0):
    """x_t = phi·x_{t-1} + e_t with standard normal e."""
    return lfilter([1.0], [1.0, -phi], np.random.default_rng(seed).standard_normal(n))


# ---------------------------------------------------------------- float references
# Each follows the documented order of operations, so results compare with ==.


def ref_mean(x):
    return loop_sum(x, -0.0) / len(x)


def ref_lag_sum(x, mx, y, my, k):
    s = 0.0
    for t in range(k, len(x)):
        s += (float(x[t]) - mx) * (float(y[t - k]) - my)
    return s


def ref_acf(x, L):
    n = len(x)
    if all(v == x[0] for v in x):
        return [1.0] + [NAN] * L
    mu = ref_mean(x)
    c0 = ref_lag_sum(x, mu, x, mu, 0) / n
    if c0 <= 0:
        return [1.0] + [NAN] * L
    return [1.0] + [ref_lag_sum(x, mu, x, mu, k) / (c0 * n) for k in range(1, L + 1)]


def ref_acovf(x, L):
    mu = ref_mean(x)
    return [ref_lag_sum(x, mu, x, mu, k) / len(x) for k in range(L + 1)]


def ref_ccf(x, y, L):
    n = len(x)
    mx, my = ref_mean(x), ref_mean(y)
    vx, vy = ref_lag_sum(x, mx, x, mx, 0) / n, ref_lag_sum(y, my, y, my, 0) / n
    if vx == 0 or vy == 0:
        return [NAN] * (2 * L + 1)
    d = (math.sqrt(vx) * n) * math.sqrt(vy)
    out = []
    for lag in range(-L, L + 1):
        s = 0.0
        for t in range(n):
            if 0 <= t - lag < n:
                s += (float(x[t]) - mx) * (float(y[t - lag]) - my)
        out.append(s / d)
    return out


def ref_portmanteau(x, lags, ljung):
    n = len(x)
    mu = ref_mean(x)
    ss = ref_lag_sum(x, mu, x, mu, 0)
    h = min(n - 1, lags)
    acc = 0.0
    for k in range(1, h + 1):
        rho = ref_lag_sum(x, mu, x, mu, k) / ss
        acc += rho * rho / (n - k) if ljung else rho * rho
    q = (n * (n + 2.0)) * acc if ljung else acc * n
    return q, h


# ---------------------------------------------------------------- exact (Fraction) oracles


def frac_acf(x, L):
    x = [Fraction(v) for v in x]
    n = len(x)
    mu = sum(x) / n
    d = [v - mu for v in x]
    s0 = sum(v * v for v in d)
    return [sum(d[t] * d[t - k] for t in range(k, n)) / s0 for k in range(L + 1)]


def frac_durbin_levinson(r, L):
    out = [Fraction(1), r[1]]
    a, v = [r[1]], 1 - r[1] ** 2
    for k in range(1, L):
        phi = (r[k + 1] - sum(a[j] * r[k - j] for j in range(k))) / v
        a = [a[j] - phi * a[k - 1 - j] for j in range(k)] + [phi]
        v *= 1 - phi**2
        out.append(phi)
    return out


def frac_solve(A, b):
    """Gaussian elimination over the rationals; None when singular."""
    k = len(b)
    M = [list(A[i]) + [b[i]] for i in range(k)]
    for c in range(k):
        p = next((i for i in range(c, k) if M[i][c] != 0), None)
        if p is None:
            return None
        M[c], M[p] = M[p], M[c]
        for i in range(k):
            if i != c and M[i][c] != 0:
                f = M[i][c] / M[c][c]
                M[i] = [a - f * b for a, b in zip(M[i], M[c])]
    return [M[i][k] / M[i][i] for i in range(k)]


def frac_yule_walker(r, L):
    out = [Fraction(1)]
    for k in range(1, L + 1):
        phi = frac_solve([[r[abs(i - j)] for j in range(k)] for i in range(k)], r[1 : k + 1])
        out.append(None if phi is None else phi[-1])
    return out


def frac_burg(x, L):
    x = [Fraction(v) for v in x]
    n = len(x)
    mu = sum(x) / n
    f = [v - mu for v in x]
    b = list(f)
    out = [Fraction(1)]
    for s in range(1, L + 1):
        num = 2 * sum(f[t] * b[t - 1] for t in range(s, n))
        den = sum(f[t] ** 2 + b[t - 1] ** 2 for t in range(s, n))
        k = num / den
        out.append(k)
        f, b = (f[:s] + [f[t] - k * b[t - 1] for t in range(s, n)], b[:s] + [b[t - 1] - k * f[t] for t in range(s, n)])
    return out


def frac_innovations(r, L):
    v = [Fraction(1)] * (L + 1)
    th = {}
    out = [Fraction(1)]
    for mm in range(1, L + 1):
        for k in range(mm):
            acc = r[mm - k] - sum(th[k, k - j] * th[mm, mm - j] * v[j] for j in range(k))
            th[mm, mm - k] = acc / v[k]
        v[mm] = r[0] - sum(th[mm, mm - j] ** 2 * v[j] for j in range(mm))
        out.append(None if abs(th[mm, 1]) > 1 else th[mm, 1])
        if v[mm] <= 0:
            out += [None] * (L - mm)
            break
    return out


def close_to(got, exact, rel=1e-12):
    """Floats against rationals; None in `exact` means NaN."""
    assert len(got) == len(exact)
    for g, e in zip(got, exact):
        if e is None:
            assert math.isnan(g)
        else:
            assert g == pytest.approx(float(e), rel=rel, abs=rel)


SMALL = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0, 5.0, 3.0, 5.0]
SERIES = [SMALL, list(ar1(60)), [0.1, 0.7, -0.2, 0.4, 0.4, -1.3, 2.2, 0.0]]

PACFS = [m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations]
ALL_ONE_SERIES = [m.acf, m.acovf, m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations]


# ---------------------------------------------------------------- autocorrelation


@pytest.mark.parametrize("x", SERIES)
@pytest.mark.parametrize("nlags", [0, 1, 3, 7, 100])
def test_acf_acovf_ccf_follow_the_direct_sums(x, nlags):
    a = np.array(x)
    L = min(len(x) - 1, nlags)
    assert same(m.acf(a, nlags), ref_acf(x, L))
    assert same(m.acovf(a, nlags), ref_acovf(x, L))
    y = np.cos(np.arange(len(x)) * 1.3) + 0.25 * np.arange(len(x))
    assert same(m.ccf(a, y, nlags), ref_ccf(x, list(y), L))


def test_long_series_follow_the_direct_sums():
    # Long enough for the kernel to work through the series in several passes.
    x = ar1(2600, seed=11) * 1e3 + 7.0
    y = np.cos(np.arange(2600) * 0.01) + ar1(2600, seed=12)
    xs, ys = list(x), list(y)
    assert same(m.acf(x, 45), ref_acf(xs, 45))
    assert same(m.acovf(x, 13), ref_acovf(xs, 13))
    assert same(m.ccf(x, y, 9), ref_ccf(xs, ys, 9))
    q, _ = ref_portmanteau(xs, 30, True)
    assert m.ljung_box(x, 30)[0] == q


def test_acf_family_agrees_with_statsmodels():
    st = pytest.importorskip("statsmodels.tsa.stattools")
    x = ar1(400)
    y = ar1(400, phi=-0.3, seed=1) + 0.5 * x
    np.testing.assert_allclose(m.acf(x, 30), st.acf(x, nlags=30, fft=False), rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(m.acovf(x, 30), st.acovf(x, nlag=30, fft=False), rtol=1e-12, atol=1e-14)
    c = m.ccf(x, y, 30)
    # statsmodels gives lags 0..nlags-1 of one side: ccf(x, y)[k] pairs x_{t+k} with y_t.
    np.testing.assert_allclose(c[30:], st.ccf(x, y, adjusted=False, fft=False, nlags=31), rtol=1e-10, atol=1e-14)
    np.testing.assert_allclose(c[30::-1], st.ccf(y, x, adjusted=False, fft=False, nlags=31), rtol=1e-10, atol=1e-14)


def test_acf_with_ci_bands():
    st = pytest.importorskip("statsmodels.tsa.stattools")
    x = ar1(300)
    r, lo, hi = m.acf_with_ci(x, 20)
    assert same(r, m.acf(x, 20))
    assert lo[0] == hi[0] == 1.0
    v = 1.0
    for k in range(1, 21):
        if k >= 2:
            v += 2.0 * (r[k - 1] * r[k - 1])
        h = 1.96 * math.sqrt(v / 300)
        assert lo[k] == r[k] - h and hi[k] == r[k] + h
    # Same Bartlett variance as statsmodels, whose z is the exact normal quantile.
    _, ci = st.acf(x, nlags=20, fft=False, alpha=0.05, result_object=False)
    np.testing.assert_allclose((hi - r)[1:] / 1.96, (ci[:, 1] - r)[1:] / stats.norm.ppf(0.975), rtol=1e-12)


@pytest.mark.parametrize(
    "alpha, z", [(0.001, 2.576), (0.01, 2.576), (0.02, 1.96), (0.05, 1.96), (0.1, 1.645), (0.9, 1.645), (NAN, 1.645)]
)
def test_acf_with_ci_quantile_thresholds(alpha, z):
    x = np.array(SMALL)
    r, lo, hi = m.acf_with_ci(x, 3, alpha)
    assert hi[1] - r[1] == pytest.approx(z * math.sqrt(1 / len(x)), rel=1e-15)
    assert hi[1] == r[1] + z * math.sqrt(1.0 / len(x))


def test_ccf_lag_direction():
    # x trails y by two steps (x_t = y_{t-2}): the peak is at lag +2, position L + 2.
    x = np.sin(np.arange(50) * 0.9) + np.arange(50) % 3
    y = np.roll(x, -2)
    c = m.ccf(x, y, 5)
    assert len(c) == 11 and int(np.argmax(c)) == 5 + 2
    assert int(np.argmax(m.ccf(y, x, 5))) == 5 - 2
    c = m.ccf(x, x, 5)
    assert c[5] == pytest.approx(1.0, rel=1e-15)
    assert same(c, c[::-1])


def test_lags_are_clipped_to_the_series():
    x = np.array(SMALL[:10])
    for nlags in (9, 10, 1000, 2**64 - 1):
        assert len(m.acf(x, nlags)) == len(m.acovf(x, nlags)) == 10
        assert len(m.ccf(x, x, nlags)) == 19
        assert all(len(a) == 10 for a in m.acf_with_ci(x, nlags))
        assert all(len(f(x, nlags)) == 10 for f in PACFS)


def test_autocorrelation_degenerate_series():
    e = np.array([])
    assert all(len(f(e)) == 0 for f in ALL_ONE_SERIES)
    assert len(m.ccf(e, e)) == 0
    bands = m.acf_with_ci(e)
    assert len(bands) == 3 and all(len(a) == 0 for a in bands)
    one = np.array([3.5])
    assert same(m.acf(one), [1.0]) and same(m.acovf(one), [0.0])
    assert all(same(a, [1.0]) for a in m.acf_with_ci(one))
    assert same(m.ccf(one, np.array([2.0])), [NAN])
    assert all(same(f(one), [1.0]) for f in PACFS)
    # Different lengths: no error, no values.
    assert len(m.ccf(np.arange(5.0), np.arange(4.0))) == 0


@pytest.mark.parametrize("value", [2.0, 0.1, -7.25, math.inf])
def test_constant_series(value):
    x = np.full(5, value)
    assert same(m.acf(x), [1.0, NAN, NAN, NAN, NAN])
    r, lo, hi = m.acf_with_ci(x)
    assert same(r, [1, NAN, NAN, NAN, NAN]) and same(lo, r) and same(hi, r)
    assert same(m.ccf(x, np.arange(5.0), 2), [NAN] * 5)
    for f in PACFS:
        assert same(f(x[:4]), [1.0, NAN, NAN, NAN])
    if value == 2.0:
        assert same(m.acovf(x), [0.0] * 5)


def test_acovf_of_a_constant_with_an_inexact_mean():
    # The mean of five 0.1 is not exactly 0.1: tiny deviations, no constant rule.
    assert same(m.acovf(np.full(5, 0.1)), ref_acovf([0.1] * 5, 4))


def test_nan_propagates():
    x = np.array([1.0, 2.0, NAN, 0.5, 3.0])
    assert same(m.acf(x), [1.0] + [NAN] * 4)
    assert np.isnan(m.acovf(x)).all() and np.isnan(m.ccf(x, np.arange(5.0))).all()
    assert all(same(f(x), [1.0] + [NAN] * 4) for f in PACFS)


# ---------------------------------------------------------------- partial autocorrelation


@pytest.mark.parametrize("x", [SMALL, [2.0, -1.0, 0.5, 4.0, -3.0, 1.0, 0.0, 2.5, -0.5]])
def test_pacf_methods_against_exact_arithmetic(x):
    L = 5
    r = frac_acf(x, L)
    a = np.array(x)
    close_to(m.pacf(a, L), frac_durbin_levinson(r, L))
    close_to(m.pacf_yw(a, L), frac_yule_walker(r, L))
    close_to(m.pacf_burg(a, L), frac_burg(x, L))
    close_to(m.pacf_innovations(a, L), frac_innovations(r, L))


def test_pacf_methods_agree_with_statsmodels():
    st = pytest.importorskip("statsmodels.tsa.stattools")
    x = ar1(500)
    np.testing.assert_allclose(m.pacf(x, 25), st.pacf(x, nlags=25, method="ldb"), rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(m.pacf_yw(x, 25), st.pacf(x, nlags=25, method="ywm"), rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(m.pacf_burg(x, 25), st.pacf(x, nlags=25, method="burg"), rtol=1e-10, atol=1e-13)


@pytest.mark.parametrize("x", SERIES + [[1.0, 2.0], [5.0, -5.0, 1.0]])
def test_methods_at_lag_one(x):
    r1 = m.acf(np.array(x), 1)[1]
    for f in (m.pacf, m.pacf_yw, m.pacf_innovations):
        assert f(np.array(x), 3)[1] == pytest.approx(r1, rel=1e-13)
    # Burg's denominator leaves out one end of each error sequence: same sign only.
    assert np.sign(m.pacf_burg(np.array(x), 3)[1]) == np.sign(r1)


def test_ar1_partial_autocorrelations_vanish_past_lag_one():
    x = ar1(20000, phi=0.7, seed=3)
    p, yw, burg = m.pacf(x, 10), m.pacf_yw(x, 10), m.pacf_burg(x, 10)
    assert p[1] == pytest.approx(0.7, abs=0.02)
    assert np.max(np.abs(p[2:])) < 0.03
    np.testing.assert_allclose(p, yw, atol=1e-12)
    np.testing.assert_allclose(p, burg, atol=1e-3)


def test_unit_lag_one_correlation_and_a_singular_yule_walker_order():
    # Values near 2**-537 have squared deviations in the subnormal range, where
    # the variance rounds (2.5 units to 2) and r_1 comes out exactly -1.
    x = np.array([-1.0, 2.0, -2.0, 1.0]) * 2.0**-537
    assert same(m.acf(x), [1.0, -1.0, 0.5, -0.125])
    # Levinson: v = 1 - r_1**2 = 0 stops the recursion after lag 1.
    assert same(m.pacf(x), [1.0, -1.0, NAN, NAN])
    # Yule-Walker: order 2 is singular (NaN), order 3 is still solved.
    r = [Fraction(1), Fraction(-1), Fraction(1, 2), Fraction(-1, 8)]
    expected = frac_yule_walker(r, 3)
    assert expected[2] is None
    close_to(m.pacf_yw(x), expected)
    close_to(m.pacf_innovations(x), frac_innovations(r, 3))


def test_innovations_coefficient_outside_unit_interval_is_nan_only_there():
    x = [2.0, -2.0, 1.0, -2.0, 2.0, -1.0]
    exact = frac_innovations(frac_acf(x, 5), 5)
    assert exact[4] is None and exact[5] is not None
    close_to(m.pacf_innovations(np.array(x)), exact)


def test_burg_zero_denominator_stops():
    assert same(m.pacf_burg(np.array([1.0, 3.0])), [1.0, -1.0])
    # k_1 = -1 cancels both error sequences exactly: stage 2 has a zero denominator.
    assert same(m.pacf_burg(np.array([0.0, 1.0, 0.0, 1.0])), [1.0, -1.0, NAN, NAN])


# ---------------------------------------------------------------- portmanteau tests


@pytest.mark.parametrize("f, ljung", [(m.ljung_box, True), (m.box_pierce, False)])
@pytest.mark.parametrize("x, lags", [(SMALL, 3), (list(ar1(80)), 20), (SMALL[:10], 20)])
def test_portmanteau_statistics(f, ljung, x, lags):
    q, h = ref_portmanteau(x, lags, ljung)
    stat, p = f(np.array(x), lags)
    assert stat == q
    assert p == pytest.approx(1 - stats.chi2.cdf(q, h), rel=1e-12, abs=1e-15)


def test_ljung_box_on_ten_values_uses_nine_degrees_of_freedom():
    stat, p = m.ljung_box(np.array(SMALL[:10]), 20)
    assert p == pytest.approx(stats.chi2.sf(stat, 9), rel=1e-12)


def test_portmanteau_agrees_with_statsmodels():
    diag = pytest.importorskip("statsmodels.stats.diagnostic")
    x = ar1(300, phi=0.2)
    t = diag.acorr_ljungbox(x, lags=[15], boxpierce=True)
    lb, bp = m.ljung_box(x, 15), m.box_pierce(x, 15)
    np.testing.assert_allclose(lb, [t["lb_stat"].iloc[0], t["lb_pvalue"].iloc[0]], rtol=1e-11)
    np.testing.assert_allclose(bp, [t["bp_stat"].iloc[0], t["bp_pvalue"].iloc[0]], rtol=1e-11)


@pytest.mark.parametrize("f", [m.ljung_box, m.box_pierce])
@pytest.mark.parametrize("x, lags", [([], 5), ([1.0, 2.0, 3.0], 0), ([4.0], 5), ([2.0, 2.0, 2.0], 2)])
def test_portmanteau_degenerate(f, x, lags):
    assert same(f(np.array(x), lags), [NAN, NAN])


def test_portmanteau_nan():
    assert same(m.ljung_box(np.array([1.0, NAN, 2.0, 4.0])), [NAN, NAN])
    assert same(m.box_pierce(np.array([1.0, NAN, 2.0, 4.0])), [NAN, NAN])


# ---------------------------------------------------------------- runs test


def test_runs_test_exact_case():
    runs, z, p = m.runs_test(np.array([1.0, 2.0, 3.0, 4.0]))
    # Two below then two above: mu = 8/4 + 1 = 3, var = 8*4/(16*3), d = (2 - 3) + 0.5.
    assert type(runs) is int and runs == 2
    assert z == -0.5 / math.sqrt(32.0 / 48.0)
    assert p == pytest.approx(2 * stats.norm.sf(abs(z)), rel=1e-14)


@pytest.mark.parametrize(
    "x, expected",
    [([7.0], (0, NAN, NAN)), ([], (0, NAN, NAN)), ([1.0, 2.0], (2, NAN, NAN)), ([5.0, 5.0, 5.0], (1, NAN, NAN)),
     ([NAN, NAN, NAN], (1, NAN, NAN))],
)
def test_runs_test_degenerate(x, expected):
    got = m.runs_test(np.array(x))
    assert got[0] == expected[0] and same(got[1:], expected[1:])


def test_runs_test_skips_values_at_the_median():
    runs, _, _ = m.runs_test(np.array([1.0, 3.0, 2.0, 3.0, 1.0]))
    assert runs == 3
    # NaN is skipped like a median value; -NaN and +NaN sit at the ends of the order.
    x = np.array([1.0, 5.0, NAN, 2.0, 6.0, 3.0])
    assert m.runs_test(x)[0] == 5  # median 4.0 (between 3 and 5); signs - + - + -


def test_runs_test_agrees_with_statsmodels():
    runs_mod = pytest.importorskip("statsmodels.sandbox.stats.runs")
    x = ar1(60, phi=0.5, seed=7)  # even n, distinct values: no value equals the median
    runs, z, p = m.runs_test(x)
    zs, ps = runs_mod.runstest_1samp(x, cutoff="median", correction=False)
    n1 = int(np.sum(x > np.median(x)))
    mu = 2.0 * n1 * (60 - n1) / 60 + 1
    # statsmodels applies no continuity correction from 50 values on; add ours back.
    corr = -0.5 if mu < runs else 0.5
    sd = (runs - mu) / zs
    assert z == pytest.approx((runs - mu + corr) / sd, rel=1e-12)
    assert p == pytest.approx(2 * stats.norm.sf(abs(z)), rel=1e-12)


# ---------------------------------------------------------------- Durbin-Watson, zero crossing


@pytest.mark.parametrize(
    "x, expected", [([1.0, 1.0, 1.0], 0.0), ([1.0, -1.0, 1.0, -1.0], 3.0), ([0.0, 0.0], NAN), ([4.0], NAN), ([], NAN),
                    ([1.0, NAN], NAN)]
)
def test_durbin_watson_cases(x, expected):
    assert same(m.durbin_watson(np.array(x)), expected)


def test_durbin_watson_sums():
    st = pytest.importorskip("statsmodels.stats.stattools")
    x = ar1(200)
    num = loop_sum([(x[t] - x[t - 1]) ** 2 for t in range(1, 200)])
    den = loop_sum([v * v for v in x])
    assert m.durbin_watson(x) == num / den
    assert m.durbin_watson(x) == pytest.approx(st.durbin_watson(x), rel=1e-12)


def ref_zero_crossing(x, max_lag):
    n = len(x)
    mu = ref_mean(x)
    c0 = ref_lag_sum(x, mu, x, mu, 0) / n
    prev = 1.0
    for k in range(1, min(n - 1, max_lag) + 1):
        r = ref_lag_sum(x, mu, x, mu, k) / (n * c0)
        if prev > 0 and r <= 0:
            return k
        prev = r
    return None


@pytest.mark.parametrize("seed, phi", [(0, 0.95), (1, 0.99), (2, 0.5)])
def test_acf_zero_crossing_matches_direct_search(seed, phi):
    x = ar1(400, phi=phi, seed=seed)
    for max_lag in (3, 10, 40, 300, 1000):
        assert m.acf_zero_crossing(x, max_lag) == ref_zero_crossing(list(x), max_lag)


@pytest.mark.parametrize(
    "x, max_lag, expected",
    [([1.0, -1.0] * 5, 100, 1), ([2.0] * 6, 100, None), (SMALL, 0, None), ([1.0], 100, None), ([], 100, None),
     ([1.0, NAN, 2.0, 0.0], 100, None)],
)
def test_acf_zero_crossing_cases(x, max_lag, expected):
    assert m.acf_zero_crossing(np.array(x), max_lag) == expected


# ---------------------------------------------------------------- Breusch-Godfrey


def test_bg_test_agrees_with_statsmodels():
    sm = pytest.importorskip("statsmodels.api")
    diag = pytest.importorskip("statsmodels.stats.diagnostic")
    rng = np.random.default_rng(5)
    n = 250
    X = np.column_stack([np.ones(n), rng.standard_normal(n), np.linspace(0, 1, n)])
    y = X @ [1.0, 2.0, -1.0] + ar1(n, phi=0.4, seed=6)
    res = sm.OLS(y, X).fit()
    for p in (1, 3, 8):
        lm, pv, _, _ = diag.acorr_breusch_godfrey(res, nlags=p, result_object=False)
        stat, pval = m.bg_test(res.resid, p, X)
        # 1 - F(LM) carries absolute, not relative, precision in a tiny p-value.
        assert stat == pytest.approx(lm, rel=1e-9) and pval == pytest.approx(pv, rel=1e-9, abs=1e-13)
    # Intercept-only model: no exog, the intercept is added.
    e = ar1(n, phi=0.3, seed=8)
    res = sm.OLS(e, np.ones(n)).fit()
    lm, pv, _, _ = diag.acorr_breusch_godfrey(res, nlags=4, result_object=False)
    np.testing.assert_allclose(m.bg_test(res.resid, 4), [lm, pv], rtol=1e-8)


def test_bg_test_reads_exog_in_any_layout():
    rng = np.random.default_rng(9)
    e = rng.standard_normal(40)
    X = np.column_stack([np.ones(40), rng.standard_normal(40)])
    want = m.bg_test(e, 3, X)
    assert same(m.bg_test(e, 3, np.asfortranarray(X)), want)
    assert same(m.bg_test(e, 3, X[::-1][::-1]), want)
    wide = np.zeros((40, 4))
    wide[:, ::2] = X
    assert same(m.bg_test(e, 3, wide[:, ::2]), want)
    flipped = np.ascontiguousarray(X[:, ::-1])[:, ::-1]
    assert same(m.bg_test(e, 3, flipped), want)


def _bg_cases():
    e = ar1(60, phi=0.5, seed=2)
    z = np.arange(1.0, 21.0)
    y = 1 + np.cos(2 * z)
    r = y - z * (z @ y) / (z @ z)  # residuals of a fit through the origin
    rng = np.random.default_rng(3)
    w = rng.standard_normal((50, 2)) + 4.0
    return [(e, 2, np.empty((60, 0))), (r, 1, z[:, None].copy()), (10 + 3 * (-1.0) ** np.arange(40), 1, np.empty((40, 0))),
            (rng.standard_normal(50) + 2.0, 3, w),
            # a constant column anywhere in exog, of any non-zero value, is an intercept
            (ar1(50, phi=0.2, seed=4), 2, np.column_stack([w[:, 0], np.full(50, 5.0)]))]


@pytest.mark.parametrize("case", range(5))
def test_bg_test_r2_about_zero_without_a_constant(case):
    # R^2 about the mean assumes the fit can reproduce a constant; without a
    # constant column it is taken about zero (statsmodels' uncentred R^2), so
    # LM is never negative.
    sm = pytest.importorskip("statsmodels.api")
    e, p, exog = _bg_cases()[case]
    n = len(e)
    lags = np.column_stack([np.r_[np.zeros(j), e[:-j]] for j in range(1, p + 1)])
    aux = sm.OLS(e, np.column_stack([exog, lags])).fit()
    lm, pv = m.bg_test(e, p, exog)
    assert lm >= 0.0
    assert lm == pytest.approx(n * aux.rsquared, rel=1e-9)
    assert pv == pytest.approx(stats.chi2.sf(lm, p), rel=1e-9, abs=1e-15)
    if case == 1:
        assert lm == pytest.approx(0.063, abs=5e-4)


@pytest.mark.parametrize(
    "resid, p, exog",
    [(np.arange(10.0), 0, None), (np.arange(4.0), 3, None), (np.arange(3.0), 2, None), (np.arange(4.0), 2**64 - 1, None),
     # the short-circuit comes before any look at exog
     (np.arange(10.0), 0, np.ones((3, 2))), (np.arange(3.0), 2, np.ones((7, 1))), (np.array([]), 1, np.ones((1, 1)))],
)
def test_bg_test_degenerate(resid, p, exog):
    assert same(m.bg_test(resid, p, exog), [NAN, NAN])


def test_bg_test_constant_and_singular():
    assert m.bg_test(np.full(10, 2.0), 2) == (0.0, 1.0)
    # All-zero residuals make the lag columns zero: the normal equations are singular.
    assert same(m.bg_test(np.zeros(10), 2), [NAN, NAN])
    X = np.column_stack([np.ones(10), np.zeros(10)])
    assert same(m.bg_test(np.arange(10.0) % 3, 2, X), [NAN, NAN])


@pytest.mark.parametrize("bad", [NAN, math.inf, -math.inf])
def test_bg_test_non_finite_residual_is_not_evidence_of_no_correlation(bad):
    e = ar1(30, seed=4)
    e[11] = bad
    assert same(m.bg_test(e, 2), [NAN, NAN])
    assert same(m.bg_test(e, 2, np.ones((30, 1))), [NAN, NAN])


def test_bg_test_exog_rows_error():
    with pytest.raises(ValueError, match=r"^exog has 9 rows but resid has 10 observations$"):
        m.bg_test(np.arange(10.0), 2, np.ones((9, 2)))


# ---------------------------------------------------------------- binding and inputs


@pytest.mark.parametrize(
    "f",
    [m.acf, m.acovf, m.acf_with_ci, m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations, m.ljung_box, m.box_pierce,
     m.runs_test, m.durbin_watson, m.acf_zero_crossing, m.bg_test],
)
def test_strided_series_is_refused(f):
    x = np.arange(20.0)[::2]
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        f(x)


def test_ccf_and_bg_test_contiguity():
    x = np.arange(20.0)
    with pytest.raises(TypeError, match="not contiguous"):
        m.ccf(x[::2], x[:10])
    with pytest.raises(TypeError, match="not contiguous"):
        m.ccf(x[:10], x[::2])
    # resid is checked before the short-circuit on max_lag
    with pytest.raises(TypeError, match="not contiguous"):
        m.bg_test(x[::2], 0)


@pytest.mark.parametrize("f", [m.acf, m.acovf, m.pacf, m.ljung_box, m.acf_zero_crossing, m.bg_test])
def test_negative_lag_count_overflows(f):
    with pytest.raises(OverflowError):
        f(np.arange(5.0), -1)


def test_inputs_unchanged():
    x, y = ar1(50), ar1(50, seed=1)
    X = np.column_stack([np.ones(50), y])
    keep = x.copy(), y.copy(), X.copy()
    for f in ALL_ONE_SERIES + [m.acf_with_ci, m.ljung_box, m.box_pierce, m.runs_test, m.durbin_watson,
                               m.acf_zero_crossing]:
        f(x)
    m.ccf(x, y)
    m.bg_test(x, 3, X)
    assert same(x, keep[0]) and same(y, keep[1]) and same(X, keep[2])


def test_text_signatures():
    assert m.acf.__text_signature__ == "(x, nlags=40)"
    assert m.ccf.__text_signature__ == "(x, y, nlags=40)"
    assert m.acf_with_ci.__text_signature__ == "(x, nlags=40, alpha=0.05)"
    assert m.bg_test.__text_signature__ == "(resid, max_lag=5, exog=None)"
    assert m.acf_zero_crossing.__text_signature__ == "(x, max_lag=100)"
    assert m.ljung_box.__text_signature__ == m.box_pierce.__text_signature__ == "(x, lags=20)"
