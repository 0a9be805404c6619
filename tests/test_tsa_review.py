"""Autocorrelation, partial autocorrelation and residual diagnostics: second look.

The float references below follow the documented order of every operation, so
results are compared bit for bit.
"""
import math
from fractions import Fraction

import numpy as np
import pytest

from conftest import same
from test_tsa import frac_solve, ref_acf, ref_lag_sum, ref_mean
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
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


def test_acf_zero_crossing_cases():
    # r_1 = 0 exactly: deviations (-1, 0, 1), lag-1 sum 0·(-1) + 1·0 = 0.
    assert m.acf_zero_crossing(np.array([1.0, 2.0, 3.0])) == 1
    assert m.acf_zero_crossing(np.array([1.0, 2.0, 3.0]), 0) is None
    assert m.acf_zero_crossing(np.array([1.0, math.inf, 3.0])) is None
    assert m.acf_zero_crossing(np.full(7, 0.25)) is None


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
