"""Autocorrelation, partial autocorrelation and residual diagnostics."""
import math
from fractions import Fraction

import numpy as np
from scipy.signal import lfilter
import pytest
from scipy import stats

from reference import loop_sum, same, frac_solve, ref_acf, ref_lag_sum, ref_mean
from marlox_stats import marlox_stats_rs as m

NAN = math.nan


def ar1(n, phi=0.6, seed=0):
    """x_t = phi·x_{t-1} + e_t with standard normal e."""
    return lfilter([1.0], [1.0, -phi], np.random.default_rng(seed).standard_normal(n))


# ---------------------------------------------------------------- float references
# Each follows the documented order of operations, so results compare with ==.


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


@pytest.mark.parametrize("value", [2.0, 0.1, 1 / 3, 0.7, -7.25, math.inf])
def test_constant_series(value):
    x = np.full(5, value)
    assert same(m.acf(x), [1.0, NAN, NAN, NAN, NAN])
    r, lo, hi = m.acf_with_ci(x)
    assert same(r, [1, NAN, NAN, NAN, NAN]) and same(lo, r) and same(hi, r)
    assert same(m.ccf(x, np.arange(5.0), 2), [NAN] * 5)
    # Ten 0.1 average to 0.09999999999999999: still no spread, on either side.
    ten = np.full(10, value)
    assert same(m.ccf(ten, np.arange(10.0), 2), [NAN] * 5) and same(m.ccf(np.arange(10.0), ten, 2), [NAN] * 5)
    for f in PACFS:
        assert same(f(x[:4]), [1.0, NAN, NAN, NAN])
    if math.isfinite(value):
        # Whether or not their mean rounds (300 0.1 average to 0.10000000000000041),
        # equal values answer as those of an exact mean: no covariance, no
        # portmanteau statistic, an LM statistic of 0.
        for n in (5, 10, 300):
            c = np.full(n, value)
            assert same(m.acovf(c), [0.0] * min(n, 41))
            assert same(m.ljung_box(c, 5), [NAN, NAN]) and same(m.box_pierce(c, 5), [NAN, NAN])
            assert m.acf_zero_crossing(c) is None
            assert m.bg_test(c, 2) == (0.0, 1.0)


@pytest.mark.parametrize("value", [0.1, 1 / 3, 0.7])
@pytest.mark.parametrize("n", [10, 300])
def test_acovf_of_equal_values_with_an_inexact_mean(value, n):
    st = pytest.importorskip("statsmodels.tsa.stattools")
    x = np.full(n, value)
    assert same(m.acovf(x, 4), [0.0] * 5)
    np.testing.assert_allclose(m.acovf(x, 4), st.acovf(x, nlag=4, fft=False), rtol=0, atol=1e-30)


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


X7 = np.cumsum(np.random.default_rng(7).standard_normal(300))
FAR = [2.0**-1010, 2.0**-537, 2.0**-530, 2.0**-515, 1e-162, 1e-163, 2.0**509, 2.0**510, 2.0**1000]


@pytest.mark.parametrize("scale", FAR, ids=lambda s: f"{s:.0e}")
def test_series_far_from_one_answer_as_unscaled(scale):
    # Squares of data far from 1 overflow or go subnormal; every function reads
    # its series in their power-of-two unit. Power-of-two scales give the
    # unscaled bits (autocovariances carry the unit squared, rounded once),
    # decimal ones the unscaled values up to rounding; statsmodels on the
    # unscaled series is the oracle for both.
    sm = pytest.importorskip("statsmodels.api")
    st = pytest.importorskip("statsmodels.tsa.stattools")
    diag = pytest.importorskip("statsmodels.stats.diagnostic")
    from statsmodels.stats.stattools import durbin_watson

    exact = math.frexp(scale)[0] == 0.5
    n = len(X7)
    X = np.column_stack([np.ones(n), np.linspace(0.0, 1.0, n)])
    fit, fit0 = sm.OLS(X7, X).fit(), sm.OLS(X7, np.ones(n)).fit()
    y = np.cos(np.arange(n) * 0.3) + 0.01 * X7
    x, ys, e, e0, Xs = (v * scale for v in (X7, y, fit.resid, fit0.resid, X))
    # The values that survive the scaling (subnormal ones lose digits).
    base = [v / scale for v in (x, ys, e, e0, Xs)] if exact else [X7, y, fit.resid, fit0.resid, X]

    def outputs(x, y, e, e0, X):
        return [m.acf(x, 10), *(f(x, 10) for f in PACFS), *m.acf_with_ci(x, 10), m.ccf(x, y, 5), m.ljung_box(x, 10),
                m.box_pierce(x, 10), m.durbin_watson(x), m.acf_zero_crossing(x, 150), m.bg_test(e, 2, X),
                m.bg_test(e0, 3)]

    got, want = outputs(x, ys, e, e0, Xs), outputs(*base)
    for g, w in zip(got, want):
        assert same(g, w) if exact else np.allclose(np.asarray(g, float), np.asarray(w, float), rtol=1e-9, atol=0, equal_nan=True)
    if exact:
        k = math.frexp(scale)[1] - 1
        with np.errstate(over="ignore"):  # squares of 2^510 overflow to inf, as they must
            assert same(m.acovf(x, 10), np.ldexp(m.acovf(base[0], 10), 2 * k))
        # The regressors have a unit of their own.
        assert same(m.bg_test(base[2], 2, Xs), want[13]) and same(m.bg_test(e, 2, base[4]), want[13])

    x = base[0]
    rtol = dict(rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(got[0], st.acf(x, nlags=10, fft=False), **rtol)
    for g, method in zip(got[1:4], ("ldb", "ywm", "burg")):
        np.testing.assert_allclose(g, st.pacf(x, nlags=10, method=method), **rtol)
    np.testing.assert_allclose(got[8][5:], st.ccf(x, base[1], adjusted=False, fft=False, nlags=6), **rtol)
    t = diag.acorr_ljungbox(x, lags=[10], boxpierce=True)
    assert got[9][0] == pytest.approx(t["lb_stat"].iloc[0], rel=1e-9)
    assert got[10][0] == pytest.approx(t["bp_stat"].iloc[0], rel=1e-9)
    assert got[11] == pytest.approx(durbin_watson(x), rel=1e-9)
    r = st.acf(x, nlags=150, fft=False)
    assert got[12] == int(np.argmax(r <= 0)) and got[12] > 1
    for g, res, p in ((got[13], fit, 2), (got[14], fit0, 3)):
        lm, pv, _, _ = diag.acorr_breusch_godfrey(res, nlags=p, result_object=False)
        assert g[0] == pytest.approx(lm, rel=1e-9) and g[1] == pytest.approx(pv, rel=1e-6, abs=1e-12)


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
     ([1.0, NAN, 2.0, 0.0], 100, None),
     # r_1 = 0 exactly: deviations (-1, 0, 1), lag-1 sum 0·(-1) + 1·0 = 0
     ([1.0, 2.0, 3.0], "default", 1), ([1.0, 2.0, 3.0], 0, None), ([1.0, math.inf, 3.0], "default", None),
     ([0.25] * 7, "default", None)],
)
def test_acf_zero_crossing_cases(x, max_lag, expected):
    args = () if max_lag == "default" else (max_lag,)
    assert m.acf_zero_crossing(np.array(x), *args) == expected


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


# ================================= exact small cases and transcribed recursions

HUGE = [2**63, 2**64 - 1]


def series(n, seed, phi=0.5):
    rng = np.random.default_rng(seed)
    e = rng.standard_normal(n)
    x = np.empty(n)
    prev = 0.0
    for t in range(n):
        prev = phi * prev + e[t]
        x[t] = prev
    return x


# ---------------------------------------------------------------- references in documented order


def r_durbin_levinson(x, L):
    r = ref_acf(x, L)
    out = [1.0] + [NAN] * L
    if math.isnan(r[1]):
        return out
    out[1] = r[1]
    a = [r[1]]
    v = 1.0 - r[1] * r[1]
    if not (v > 0 and math.isfinite(v)):
        return out
    for k in range(1, L):
        num = 0.0
        for j in range(k):
            num += a[j] * r[k - j]
        phi = (r[k + 1] - num) / v
        if not math.isfinite(phi):
            return out
        a = [a[j] - phi * a[k - 1 - j] for j in range(k)] + [phi]
        v = v * (1.0 - phi * phi)
        out[k + 1] = phi
        if not (v > 0 and math.isfinite(v)):
            return out
    return out


def r_burg(x, L):
    out = [1.0] + [NAN] * L
    if all(v == x[0] for v in x):
        return out
    n = len(x)
    mu = ref_mean(x)
    f = [float(v) - mu for v in x]
    b = list(f)
    for s in range(1, L + 1):
        num = den = 0.0
        for t in range(s, n):
            num += f[t] * b[t - 1]
            den += f[t] * f[t] + b[t - 1] * b[t - 1]
        num = num + num
        if den == 0 or not math.isfinite(den):
            return out
        k = num / den
        out[s] = k
        nf = [f[t] - k * b[t - 1] for t in range(s, n)]
        nb = [b[t - 1] - k * f[t] for t in range(s, n)]
        f[s:], b[s:] = nf, nb
    return out


def r_innovations(x, L):
    r = ref_acf(x, L)
    out = [1.0] + [NAN] * L
    v = [1.0] * (L + 1)
    th = {}
    for mm in range(1, L + 1):
        for k in range(mm):
            acc = r[mm - k]
            for j in range(k):
                acc -= (th[k, k - j] * th[mm, mm - j]) * v[j]
            th[mm, mm - k] = acc / v[k]
        vm = r[0]
        for j in range(mm):
            vm -= (th[mm, mm - j] * th[mm, mm - j]) * v[j]
        v[mm] = vm
        out[mm] = NAN if abs(th[mm, 1]) > 1 else th[mm, 1]
        if not (vm > 0 and math.isfinite(vm)):
            return out
    return out


def r_bands(x, L, z):
    r = ref_acf(x, L)
    n = len(x)
    lo, hi = [1.0], [1.0]
    for k in range(1, L + 1):
        v = 1.0
        for j in range(1, k):
            v += 2 * r[j] ** 2
        h = z * math.sqrt(v / n)
        lo.append(r[k] - h)
        hi.append(r[k] + h)
    return r, lo, hi


def r_runs(x):
    s = sorted(x)
    n = len(s)
    med = s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) * 0.5
    runs, above, below, prev = 1, 0, 0, 0
    for v in x:
        sign = 1 if v > med else -1 if v < med else 0
        if sign == 0:
            continue
        if sign > 0:
            above += 1
        else:
            below += 1
        if prev and sign != prev:
            runs += 1
        prev = sign
    N = float(below + above)
    a = float(above + above) * below
    var = a * (a - N) / (N * N * (N - 1))
    mu = a / N + 1
    d = (runs - mu) + (-0.5 if mu < runs else 0.5)
    z = d / math.sqrt(var)
    return runs, z, 2 * (1 - 0.5 * math.erfc(-abs(z) / 1.4142135623730951))


SHORT = [[3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0], [0.5, -1.25, 2.0, 0.0, 3.5, -0.75, 1.0], [1.0, 2.0, 4.0]]
VARIED = SHORT + [list(series(70, 1, 0.8)), list(series(45, 2, -0.6))]


# ---------------------------------------------------------------- partial autocorrelation, bit for bit


@pytest.mark.parametrize("x", VARIED)
@pytest.mark.parametrize("nlags", [1, 2, 5, 12, 2**63])
def test_recursions_follow_the_documented_arithmetic(x, nlags):
    a = np.array(x)
    L = min(len(x) - 1, nlags)
    assert same(m.pacf(a, nlags), r_durbin_levinson(x, L))
    assert same(m.pacf_burg(a, nlags), r_burg(x, L))
    assert same(m.pacf_innovations(a, nlags), r_innovations(x, L))


def test_burg_lag_one_is_its_own_estimate_not_r1():
    # Deviations (-4/3, -1/3, 5/3): r_1 = -1/42, while Burg's denominator leaves
    # out the first forward and the last backward error: 2·(-1/9) / (43/9).
    x = np.array([1.0, 2.0, 4.0])
    assert m.acf(x, 1)[1] == pytest.approx(-1 / 42, rel=1e-15)
    burg = m.pacf_burg(x)
    assert burg[1] == pytest.approx(-2 / 43, rel=1e-15)
    # Stage 2 has one term, f'_2·b'_1 with f'_2 = f_2 - k·b_1 and b'_1 = b_0 - k·f_1
    # (old values on the right).
    k1 = Fraction(-2, 43)
    f2 = Fraction(5, 3) - k1 * Fraction(-1, 3)
    b1 = Fraction(-4, 3) - k1 * Fraction(-1, 3)
    assert burg[2] == pytest.approx(float(2 * f2 * b1 / (f2 * f2 + b1 * b1)), rel=1e-15)


def test_yule_walker_matches_the_other_methods_on_exact_systems():
    # An AR system solved exactly: orders 1..3 of Yule-Walker equal Levinson.
    for x in VARIED:
        a = np.array(x)
        L = min(len(x) - 1, 6)
        np.testing.assert_allclose(m.pacf_yw(a, L), m.pacf(a, L), rtol=1e-11, atol=1e-13)


@pytest.mark.parametrize("f", [m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations])
def test_pacf_frame(f):
    assert f(np.array([])).dtype == np.float64 and len(f(np.array([]))) == 0
    for n in (1, 2, 5):
        assert same(f(np.arange(float(n)), 0), [1.0])
    assert same(f(np.array([7.5])), [1.0])
    assert same(f(np.full(4, -3.0), 2**64 - 1), [1.0, NAN, NAN, NAN])
    # An infinity makes the mean infinite and every deviation NaN or infinite.
    assert same(f(np.array([1.0, math.inf, 2.0, 3.0]), 3), [1.0, NAN, NAN, NAN])


def test_durbin_levinson_stops_when_a_coefficient_is_not_finite():
    # r_1 = 0 and v = 1 keep going; a NaN coefficient is not reachable from a
    # finite series, so the NaN series stands in: 1.0 then NaN everywhere.
    x = np.array([1.0, 0.0, -1.0, 0.0, 1.0, NAN])
    assert same(m.pacf(x, 4), [1.0, NAN, NAN, NAN, NAN])


# ---------------------------------------------------------------- autocorrelation family


@pytest.mark.parametrize("alpha, z", [(0.01, 2.576), (0.05, 1.96), (0.0, 2.576), (-1.0, 2.576), (0.050001, 1.645),
                                      (math.inf, 1.645), (-math.inf, 2.576)])
@pytest.mark.parametrize("x", VARIED)
def test_acf_with_ci_bands_bit_for_bit(x, alpha, z):
    L = min(len(x) - 1, 9)
    got = m.acf_with_ci(np.array(x), 9, alpha)
    assert type(got) is tuple and len(got) == 3
    for g, want in zip(got, r_bands(x, L, z)):
        assert g.dtype == np.float64 and same(g, want)


def test_acf_with_ci_small_cases():
    one = m.acf_with_ci(np.array([4.0]), 2**64 - 1, 0.2)
    assert all(same(a, [1.0]) for a in one)
    r, lo, hi = m.acf_with_ci(np.arange(6.0), 0)
    assert same(r, [1.0]) and same(lo, [1.0]) and same(hi, [1.0])
    r, lo, hi = m.acf_with_ci(np.array([1.0, NAN, 3.0]))
    assert same(r, [1.0, NAN, NAN]) and same(lo, [1.0, NAN, NAN]) and same(hi, [1.0, NAN, NAN])


def test_ccf_by_hand():
    # x = (0, 0, 3), y = (0, 3, 0): deviations (-1, -1, 2) and (-1, 2, -1), both
    # variances 2, D = (sqrt(2)·3)·sqrt(2) = 6 up to rounding.
    x, y = np.array([0.0, 0.0, 3.0]), np.array([0.0, 3.0, 0.0])
    d = (math.sqrt(2.0) * 3) * math.sqrt(2.0)
    # lag -2: x_0·y_2; lag -1: x_0·y_1 + x_1·y_2; lag 0; lag 1: x_1·y_0 + x_2·y_1; lag 2: x_2·y_0
    want = [(-1.0 * -1.0) / d, ((-1.0 * 2.0) + (-1.0 * -1.0)) / d, (1.0 - 2.0 - 2.0) / d,
            ((-1.0 * -1.0) + 2.0 * 2.0) / d, (2.0 * -1.0) / d]
    assert same(m.ccf(x, y, 2), want)
    # x trails y by one step: the peak sits at lag +1 (x_t pairs with y_{t-1}).
    assert int(np.argmax(m.ccf(x, y, 2))) == 2 + 1
    assert same(m.ccf(x, y, 0), [want[2]])
    assert same(m.ccf(y, x, 2), want[::-1])


@pytest.mark.parametrize("nlags", [0, 1, 3] + HUGE)
def test_ccf_lengths_and_degenerate_pairs(nlags):
    x = np.arange(4.0)
    L = min(3, nlags)
    assert len(m.ccf(x, x[::-1].copy(), nlags)) == 2 * L + 1
    assert same(m.ccf(x, np.full(4, 0.5), nlags), [NAN] * (2 * L + 1))
    assert same(m.ccf(np.full(4, 2.0), x, nlags), [NAN] * (2 * L + 1))
    assert len(m.ccf(np.array([]), x, nlags)) == 0
    assert len(m.ccf(x, np.array([]), nlags)) == 0
    assert m.ccf(x, np.arange(3.0), nlags).dtype == np.float64


def test_acovf_small_cases():
    assert same(m.acovf(np.array([2.0] * 5)), [0.0] * 5)
    # deviations (-1, 0, 1): c_0 = 2/3, c_1 = 0/3, c_2 = -1/3
    assert same(m.acovf(np.array([1.0, 2.0, 3.0]), 2**63), [2.0 / 3, 0.0, -1.0 / 3])
    assert same(m.acovf(np.array([1.0, 2.0, 3.0]), 0), [2.0 / 3])


@pytest.mark.parametrize("x", [[1.0, math.inf, 3.0], [-math.inf, 2.0, 0.0, 1.0]])
def test_infinite_values(x):
    a = np.array(x)
    assert same(m.acf(a), [1.0] + [NAN] * (len(x) - 1))
    # The mean is infinite: x_t - m is NaN at the infinity, -inf or +inf elsewhere,
    # so a lag that never touches the infinity's NaN comes out infinite.
    mu = ref_mean(x)
    assert same(m.acovf(a), [ref_lag_sum(x, mu, x, mu, k) / len(x) for k in range(len(x))])


# ---------------------------------------------------------------- huge lag counts and argument order


@pytest.mark.parametrize("nlags", HUGE)
def test_huge_lag_counts_are_clipped(nlags):
    x = np.array(SHORT[0])
    L = len(x) - 1
    assert same(m.acf(x, nlags), ref_acf(list(x), L))
    assert len(m.acovf(x, nlags)) == L + 1
    assert all(len(a) == L + 1 for a in m.acf_with_ci(x, nlags))
    lb, bp = m.ljung_box(x, nlags), m.box_pierce(x, nlags)
    assert lb == m.ljung_box(x, L) and bp == m.box_pierce(x, L)
    assert m.acf_zero_crossing(x, nlags) == m.acf_zero_crossing(x, L)
    assert same(m.bg_test(x, nlags), [NAN, NAN])
    assert same(m.bg_test(x, nlags, np.ones((3, 1))), [NAN, NAN])


@pytest.mark.parametrize(
    "f", [m.acf, m.acovf, m.acf_with_ci, m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations, m.ljung_box,
          m.box_pierce, m.acf_zero_crossing, m.bg_test]
)
def test_lag_count_conversion(f):
    x = np.arange(6.0)
    with pytest.raises(OverflowError):
        f(x, 2**64)
    with pytest.raises(TypeError, match=r"^argument '\w+': "):
        f(x, 2.0)
    # Conversions all come before the contiguity check of the series.
    with pytest.raises(OverflowError):
        f(np.arange(12.0)[::2], -1)


def test_conversion_errors_before_contiguity():
    s = np.arange(12.0)[::2]
    with pytest.raises(TypeError, match=r"^argument 'alpha': "):
        m.acf_with_ci(s, 3, "0.05")
    with pytest.raises(TypeError, match=r"^argument 'y': 'list' object cannot be converted to 'PyArray<T, D>'$"):
        m.ccf(s, [1.0, 2.0])
    with pytest.raises(TypeError, match=r"^argument 'exog': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        m.bg_test(s, 2, np.ones(6))
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        m.ccf(np.arange(6.0), s)
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        m.bg_test(s, 2, np.ones((7, 2)))


def test_keyword_names():
    x = np.arange(8.0)
    assert same(m.acf(x=x, nlags=2), m.acf(x, 2))
    assert same(m.ccf(x=x, y=x, nlags=1), m.ccf(x, x, 1))
    assert same(m.acf_with_ci(x=x, nlags=2, alpha=0.01)[1], m.acf_with_ci(x, 2, 0.01)[1])
    assert m.ljung_box(x=x, lags=3) == m.ljung_box(x, 3)
    assert m.acf_zero_crossing(x=x, max_lag=5) == m.acf_zero_crossing(x, 5)
    assert same(m.bg_test(resid=x, max_lag=1, exog=None), m.bg_test(x, 1))
    for f in (m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations):
        assert same(f(x=x, nlags=3), f(x, 3))


def test_text_signatures_and_docstrings():
    for f in (m.acovf, m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations):
        assert f.__text_signature__ == "(x, nlags=40)"
    assert m.runs_test.__text_signature__ == m.durbin_watson.__text_signature__ == "(x)"
    assert m.pacf.__doc__.startswith("Partial autocorrelation function using Levinson-Durbin recursion")
    assert m.pacf_yw.__doc__.startswith("Fallback to Yule-Walker (for compatibility/testing)")
    assert m.pacf_burg.__doc__.startswith("Burg's algorithm for PACF (maximum entropy method)")
    assert m.pacf_innovations.__doc__.startswith("Innovations algorithm for PACF (alternative to Levinson-Durbin)")
    for f, tail in [(m.ljung_box, "-> (statistic, pvalue)"), (m.box_pierce, "-> (statistic, pvalue)"),
                    (m.bg_test, "-> (statistic, pvalue)"), (m.runs_test, "-> (n_runs, z_score, pvalue)"),
                    (m.durbin_watson, "-> scalar in [0,4]"), (m.acf_zero_crossing, "-> Optional[int]"),
                    (m.acf_with_ci, "(acf, lower, upper)"), (m.ccf, "1D array of length 2*nlags+1")]:
        assert tail in f.__doc__
    for f in (m.pacf, m.pacf_yw, m.pacf_burg, m.pacf_innovations):
        assert "1D array" in f.__doc__


# ---------------------------------------------------------------- residual diagnostics


@pytest.mark.parametrize("x", [v for v in VARIED if len(v) > 3])
def test_runs_test_bit_for_bit(x):
    runs, z, p = m.runs_test(np.array(x))
    want = r_runs(x)
    assert type(runs) is int and runs == want[0]
    assert z == want[1]
    assert p == pytest.approx(want[2], rel=1e-15, abs=1e-300)


def test_runs_test_continuity_correction_sides():
    # Alternating: many runs (mu < runs, correction -0.5) and a positive z.
    runs, z, _ = m.runs_test(np.array([1.0, -1.0] * 6))
    assert runs == 12 and z > 0
    # a = 72, N = 12, mu = 7, var = 72·60 / (144·11)
    assert z == (12 - 7.0 - 0.5) / math.sqrt(72.0 * 60.0 / (144.0 * 11.0))
    # Two blocks: few runs (mu > runs, correction +0.5).
    runs, z, _ = m.runs_test(np.array([-1.0] * 6 + [1.0] * 6))
    assert runs == 2 and z == (2 - 7.0 + 0.5) / math.sqrt(72.0 * 60.0 / (144.0 * 11.0))


def test_runs_test_infinite_z_and_nan_values():
    # Values at the median are skipped; -inf and +inf count like any value.
    runs, z, p = m.runs_test(np.array([-math.inf, math.inf, 0.0, -math.inf, math.inf]))
    assert (runs, z, p) == r_runs([-math.inf, math.inf, 0.0, -math.inf, math.inf])
    # -NaN sorts first, +NaN last; both are skipped in the walk.
    x = np.array([-NAN, 1.0, 2.0, 3.0, 4.0, NAN])
    x[0] = np.copysign(NAN, -1.0)
    assert m.runs_test(x)[0] == 2  # median (2 + 3)/2: signs - - + +


@pytest.mark.parametrize(
    "x, expected",
    [([3.0, 4.0], (1.0 / 25.0)), ([1.0, 2.0, 4.0], (1.0 + 4.0) / 21.0), ([0.0, 0.0, 0.0], NAN),
     ([1.0, math.inf], NAN), ([-0.0, 0.0], NAN), ([NAN, 1.0, 2.0], NAN)],
)
def test_durbin_watson_by_hand(x, expected):
    assert same(m.durbin_watson(np.array(x)), expected)


def test_acf_zero_crossing_late_crossing_on_a_long_series():
    # A slow oscillation crosses zero long after the first lag batch.
    t = np.arange(3000.0)
    x = np.cos(2 * math.pi * t / 2400) + 1e-3 * series(3000, 5)
    xs = list(x)
    mu = ref_mean(xs)
    d = 3000 * (ref_lag_sum(xs, mu, xs, mu, 0) / 3000)
    prev, want = 1.0, None
    for k in range(1, 801):
        r = ref_lag_sum(xs, mu, xs, mu, k) / d
        if prev > 0 and r <= 0:
            want = k
            break
        prev = r
    assert want is not None and want > 300
    assert m.acf_zero_crossing(x, 800) == want
    assert m.acf_zero_crossing(x, want - 1) is None
    assert m.acf_zero_crossing(x, 2**64 - 1) == want


def test_portmanteau_small_case():
    # deviations (-1.5, -0.5, 0.5, 1.5): ss = 5, s_1 = 0.75 + -0.25 + 0.75 = 1.25,
    # s_2 = -0.75 + -0.75 = -1.5
    x = np.array([1.0, 2.0, 3.0, 4.0])
    r1, r2 = 1.25 / 5.0, -1.5 / 5.0
    q = (4.0 * 6.0) * (r1 * r1 / 3 + r2 * r2 / 2)
    stat, p = m.ljung_box(x, 2)
    assert stat == q and p == pytest.approx(math.exp(-q / 2), rel=1e-14)
    stat, p = m.box_pierce(x, 2)
    assert stat == (r1 * r1 + r2 * r2) * 4.0 and p == pytest.approx(math.exp(-stat / 2), rel=1e-14)
    # One degree of freedom: 1 - F(q) = erfc(sqrt(q/2)).
    stat, p = m.ljung_box(x, 1)
    assert p == pytest.approx(math.erfc(math.sqrt(stat / 2)), rel=1e-14)
    for f in (m.ljung_box, m.box_pierce):
        out = f(x)
        assert type(out) is tuple and len(out) == 2 and all(type(v) is float for v in out)


def bg_exact(e, p, X=None):
    """LM over the rationals from the normal equations, or None when singular."""
    n = len(e)
    E = [Fraction(v) for v in e]
    rows = []
    for t in range(n):
        base = [Fraction(1)] if X is None else [Fraction(v) for v in X[t]]
        rows.append(base + [E[t - j] if t >= j else Fraction(0) for j in range(1, p + 1)])
    K = len(rows[0])
    A = [[sum(r[i] * r[j] for r in rows) for j in range(K)] for i in range(K)]
    g = [sum(r[i] * E[t] for t, r in enumerate(rows)) for i in range(K)]
    b = frac_solve(A, g)
    if b is None:
        return None
    ssr = sum((E[t] - sum(bj * xj for bj, xj in zip(b, rows[t]))) ** 2 for t in range(n))
    eb = sum(E) / n
    sst = sum((v - eb) ** 2 for v in E)
    return (1 - ssr / sst) * n


@pytest.mark.parametrize("p", [1, 2, 3])
def test_bg_test_against_exact_arithmetic(p):
    from scipy import stats

    e = [0.5, -1.0, 2.0, 0.25, -0.75, 1.5, 0.0, -2.0, 1.0, 0.5]
    lm = float(bg_exact(e, p))
    stat, pv = m.bg_test(np.array(e), p)
    assert stat == pytest.approx(lm, rel=1e-12)
    assert pv == pytest.approx(stats.chi2.sf(stat, p), rel=1e-12)
    X = np.column_stack([np.ones(10), np.arange(10.0)])
    lm = float(bg_exact(e, p, X.tolist()))
    assert m.bg_test(np.array(e), p, X)[0] == pytest.approx(lm, rel=1e-12)


def test_bg_test_rows_error_wording_and_order():
    e = np.arange(6.0)
    with pytest.raises(ValueError, match=r"^exog has 0 rows but resid has 6 observations$"):
        m.bg_test(e, 1, np.ones((0, 2)))
    with pytest.raises(ValueError, match=r"^exog has 12 rows but resid has 6 observations$"):
        m.bg_test(e, 4, np.ones((12, 0)))
    # n = p + 2 is the first length tested; n = p + 1 still short-circuits.
    assert same(m.bg_test(e, 5, np.ones((2, 2))), [NAN, NAN])


def test_bg_test_constant_and_nan_residuals():
    # Constant residuals keep (0.0, 1.0); a NaN residual is no evidence of
    # anything and gives (NaN, NaN) with or without exog.
    assert m.bg_test(np.full(10, 2.0), 2) == (0.0, 1.0)
    assert m.bg_test(np.full(8, -4.0), 1, np.ones((8, 1))) == (0.0, 1.0)
    e = np.array([0.5, -1.0, 2.0, 0.25, -0.75, 1.5, 0.0, -2.0, 1.0, 0.5])
    for i in (0, 4, 9):
        bad = e.copy()
        bad[i] = NAN
        assert same(m.bg_test(bad, 2), [NAN, NAN])
        assert same(m.bg_test(bad, 2, np.column_stack([np.ones(10), np.arange(10.0)])), [NAN, NAN])
    out = m.bg_test(e, 2)
    assert type(out) is tuple and all(type(v) is float for v in out)


def test_empty_results_are_float64():
    e = np.array([])
    for a in [m.acf(e), m.acovf(e), m.ccf(e, e), m.ccf(np.ones(3), np.ones(2))] + list(m.acf_with_ci(e)):
        assert a.dtype == np.float64 and a.shape == (0,)


def test_random_shapes_bit_for_bit():
    # Every length from 1 to 90 and lag counts around the kernel's lag blocks.
    rng = np.random.default_rng(1)
    for n in range(1, 91):
        x = rng.integers(-3, 4, n).astype(float) if n % 3 == 0 else rng.standard_normal(n) * 1e3 + 5
        xs = list(x)
        mu = ref_mean(xs)
        for nlags in {0, 1, 3, 4, 5, 17, 33, n // 2, n - 1, 2**64 - 1}:
            L = min(n - 1, nlags)
            assert same(m.acf(x, nlags), ref_acf(xs, L))
            assert same(m.acovf(x, nlags), [ref_lag_sum(xs, mu, xs, mu, k) / n for k in range(L + 1)])
            if L >= 1:
                assert same(m.pacf(x, nlags), r_durbin_levinson(xs, L))
                assert same(m.pacf_burg(x, nlags), r_burg(xs, L))
                assert same(m.pacf_innovations(x, nlags), r_innovations(xs, L))
