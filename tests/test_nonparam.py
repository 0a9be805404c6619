"""Mann-Whitney U, one-sample Kolmogorov-Smirnov and the normality tests."""
import math
from decimal import Decimal, getcontext

import numpy as np
import pytest
import scipy.stats as st

from reference import central_moments, loop_sum, raises, same
from marlox_stats import marlox_stats_rs as m

a = np.array
INF = math.inf
NAN = math.nan
NAN_MSG = "{} contains NaN or Inf; marlox-stats v0.3 nan_policy is 'reject'"
ALT_MSG = "alternative must be one of: 'two-sided', 'less', 'greater'"
ALTS = ["two-sided", "less", "greater"]


def close(ours, ref, rel=1e-12, abs_=1e-300):
    return ours == pytest.approx(ref, rel=rel, abs=abs_)


def phi(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def upper(z):
    return 0.5 * math.erfc(z / math.sqrt(2.0))


def clamp(p):
    return min(max(p, 0.0), 1.0)


# ---------------------------------------------------------------- Mann-Whitney U

def mw_reference(x, y, alt):
    """The normal approximation in the documented order of operations."""
    pooled = sorted([(float(v), True) for v in x] + [(float(v), False) for v in y], key=lambda o: o[0])
    r1 = ties = 0.0
    i, r = 0, 1.0
    while i < len(pooled):
        j = i
        while j < len(pooled) and pooled[j][0] == pooled[i][0]:
            j += 1
        t = float(j - i)
        rank = (r + (r + t - 1.0)) * 0.5
        for k in range(i, j):
            if pooled[k][1]:
                r1 += rank
        if t > 1:
            ties += t * t * t - t
        r += t
        i = j
    n1, n2 = float(len(x)), float(len(y))
    big = n1 + n2
    u1 = r1 - n1 * (n1 + 1.0) / 2.0
    u2 = n1 * n2 - u1
    tau = ties / (big * (big - 1.0)) if big * (big - 1.0) > 0 else 0.0
    var = n1 * n2 / 12.0 * ((big + 1.0) - tau)
    d = u1 - n1 * n2 / 2.0
    cc = {"less": -0.5, "greater": 0.5}.get(alt, 0.5 if d > 0 else -0.5 if d < 0 else 0.0)
    z = (d - cc) / math.sqrt(var) if var > 0 else 0.0
    if alt == "less":
        return u1, clamp(phi(z))
    if alt == "greater":
        return u1, clamp(upper(z))
    return min(u1, u2), clamp(2.0 * upper(abs(z)))


@pytest.mark.parametrize("alt", ALTS)
@pytest.mark.parametrize("seed,n1,n2,rounded", [(0, 7, 9, False), (1, 60, 45, False), (2, 80, 50, True),
                                                (3, 1, 1, False), (4, 300, 2, True)])
def test_mann_whitney_matches_reference_and_scipy(seed, n1, n2, rounded, alt):
    rng = np.random.default_rng(seed)
    x, y = rng.standard_normal(n1), rng.standard_normal(n2) + 0.3
    if rounded:  # many ties
        x, y = np.round(x), np.round(y)
    r = m.mann_whitney_u_np(x, y, alt)
    assert list(r) == ["statistic", "pvalue"]
    u, p = mw_reference(x, y, alt)
    assert same(r["statistic"], u)
    assert close(r["pvalue"], p, rel=1e-14)
    s = st.mannwhitneyu(x, y, alternative=alt, method="asymptotic")
    if alt == "two-sided":
        assert r["statistic"] == min(s.statistic, n1 * n2 - s.statistic)
    else:
        assert r["statistic"] == s.statistic
    assert close(r["pvalue"], s.pvalue, rel=1e-12)


def test_mann_whitney_hand_values():
    x, y = a([1.0, 2.0, 3.0]), a([4.0, 5.0, 6.0])
    r = m.mann_whitney_u_np(x, y)
    assert r["statistic"] == 0.0
    # var = 9/12 * 7 = 5.25, d = -4.5, cc = -0.5, z = -4 / sqrt(5.25)
    assert close(r["pvalue"], 2 * upper(4 / math.sqrt(5.25)), rel=1e-14)
    g = m.mann_whitney_u_np(x, y, "greater")
    assert g["statistic"] == 0.0 and g["pvalue"] > 0.95
    assert m.mann_whitney_u_np(y, x, "two_sided") == m.mann_whitney_u_np(y, x, "two-sided")
    assert m.mann_whitney_u_np(y, x)["statistic"] == 0.0
    assert m.mann_whitney_u_np(y, x, "less")["statistic"] == 9.0


def test_mann_whitney_all_equal_and_signed_zeros():
    r = m.mann_whitney_u_np(a([2.0, 2.0, 2.0]), a([2.0, 2.0]))
    assert r == {"statistic": 3.0, "pvalue": 1.0}
    # -0.0 and +0.0 tie: same as all zeros
    assert m.mann_whitney_u_np(a([-0.0, 0.0]), a([0.0, -0.0, 0.0])) == {"statistic": 3.0, "pvalue": 1.0}
    # one value each: sigma^2 = 1/12 * 3 > 0
    r = m.mann_whitney_u_np(a([1.0]), a([2.0]), "less")
    assert r["statistic"] == 0.0 and close(r["pvalue"], phi((-0.5 + 0.5) / 0.5))


def test_mann_whitney_errors_in_order():
    e, ok = a([]), a([1.0, 2.0])
    assert raises(ValueError, m.mann_whitney_u_np, e, a([NAN]), "bad") == "x and y must be non-empty"
    assert raises(ValueError, m.mann_whitney_u_np, ok, e) == "x and y must be non-empty"
    assert raises(ValueError, m.mann_whitney_u_np, a([1.0, INF]), a([NAN]), "bad") == NAN_MSG.format("x")
    assert raises(ValueError, m.mann_whitney_u_np, ok, a([1.0, -INF]), "bad") == NAN_MSG.format("y")
    for bad in ["LESS", "Two-sided", " less", ""]:
        assert raises(ValueError, m.mann_whitney_u_np, ok, ok, bad) == ALT_MSG
    raises(TypeError, m.mann_whitney_u_np, ok, ok, 1)
    raises(TypeError, m.mann_whitney_u_np, np.arange(6.0)[::2], ok)


# ---------------------------------------------------------------- Kolmogorov-Smirnov

def ks_two_sided_decimal(n, d):
    """P(D >= d) by the Marsaglia-Tsang-Wang matrix power in 50-digit decimals."""
    getcontext().prec = 50
    d = Decimal(d)
    k = int(n * d) + 1
    size, h = 2 * k - 1, k - n * d
    fact = [Decimal(math.factorial(i)) for i in range(size + 2)]
    hm = [[1 / fact[i - j + 1] if i - j + 1 >= 0 else Decimal(0) for j in range(size)] for i in range(size)]
    for i in range(size):
        hm[i][0] -= h ** (i + 1) / fact[i + 1]
        hm[size - 1][i] -= h ** (size - i) / fact[size - i]
    if 2 * h - 1 > 0:
        hm[size - 1][0] += (2 * h - 1) ** size / fact[size]

    def mul(p, q):
        return [[sum(p[i][t] * q[t][j] for t in range(size)) for j in range(size)] for i in range(size)]

    q, e = None, n
    while True:
        if e & 1:
            q = hm if q is None else mul(q, hm)
        e >>= 1
        if not e:
            break
        hm = mul(hm, hm)
    return float(1 - q[k - 1][k - 1] * Decimal(math.factorial(n)) / Decimal(n) ** n)


FROZEN = {"norm": st.norm, "normal": st.norm, "uniform": st.uniform, "expon": st.expon, "exponential": st.expon}


@pytest.mark.parametrize("alt", ALTS)
@pytest.mark.parametrize("cdf,params", [("norm", [0.1, 1.2]), ("normal", [0.0, 1.0]), ("uniform", [-2.0, 5.0]),
                                        ("expon", [-0.5, 2.0]), ("exponential", [-3.0, 1.0])])
@pytest.mark.parametrize("n", [1, 7, 150])
def test_ks_matches_scipy_exact(cdf, params, alt, n):
    x = np.random.default_rng(n).standard_normal(n) + 0.2
    r = m.ks_1samp_np(x, cdf, params, alt)
    assert list(r) == ["statistic", "pvalue"]
    s = st.kstest(x, FROZEN[cdf](*params).cdf,
                  alternative=alt, method="exact")
    assert close(r["statistic"], s.statistic, rel=1e-13, abs_=1e-15)
    # p = 1 - P(D < d) loses relative precision for tiny p; SciPy leaves its
    # exact method above n = 140, so there the high-precision matrix decides
    # (where it is cheap; large D means a p-value near 0 anyway)
    big = n > 140 and alt == "two-sided" and n * r["statistic"] < 20
    ref = ks_two_sided_decimal(n, r["statistic"]) if big else s.pvalue
    assert close(r["pvalue"], ref, rel=1e-8, abs_=1e-12)


def test_ks_statistic_arithmetic():
    # uniform F is (v - a)/(b - a); exponential F is 1 - exp((v - loc) * (-1/scale))
    x = np.random.default_rng(5).uniform(-1.0, 4.0, 37)
    n = len(x)
    v = sorted(x)
    for cdf, f in [("uniform", lambda t: 0.0 if t <= 0.5 else 1.0 if t >= 3.5 else (t - 0.5) / (3.5 - 0.5)),
                   ("expon", lambda t: 0.0 if t - 0.5 <= 0 else 1.0 - math.exp((t - 0.5) * (-1.0 / 3.0)))]:
        dp = max([0.0] + [(i + 1) / n - f(t) for i, t in enumerate(v)])
        dm = max([0.0] + [f(t) - i / n for i, t in enumerate(v)])
        assert same(m.ks_1samp_np(x, cdf, [0.5, 3.0], "greater")["statistic"], dp)
        assert same(m.ks_1samp_np(x, cdf, [0.5, 3.0], "less")["statistic"], dm)
        assert same(m.ks_1samp_np(x, cdf, (0.5, 3.0))["statistic"], max(dp, dm))


def test_ks_single_value_and_extremes():
    assert m.ks_1samp_np(a([0.0]), "uniform", [0, 1]) == {"statistic": 1.0, "pvalue": 0.0}
    assert m.ks_1samp_np(a([0.0]), "uniform", [0, 1], "less") == {"statistic": 0.0, "pvalue": 1.0}
    # far outside the support: D = 1 gives p 0 in every direction that sees it
    assert m.ks_1samp_np(a([50.0, 60.0]), "norm", [0, 1], "less") == {"statistic": 1.0, "pvalue": 0.0}


def uniform_sample_with_d(n, d):
    """Values v_i = i/n + d (sorted), so D- = d against uniform(0, 1)."""
    return np.minimum(np.arange(n) / n + d, 1.0 - 1e-12)


def series(n, d):
    lam = d * (math.sqrt(n) + 0.12 + 0.11 / math.sqrt(n))
    return clamp(2 * math.fsum((-1) ** (j - 1) * math.exp(-2 * j * j * lam * lam) for j in range(1, 200)))


@pytest.mark.parametrize("n,d", [(1000, 0.04), (10000, 0.0136), (10001, 0.0136), (20000, 0.01), (300, 0.07),
                                 (5000, 0.0145), (2500, 0.0227), (1500, 0.031), (700, 0.05)])
def test_ks_two_sided_pvalue_exact_and_series(n, d):
    r = m.ks_1samp_np(uniform_sample_with_d(n, d), "uniform", [0.0, 1.0])
    dd = r["statistic"]
    assert close(dd, d, rel=1e-12)
    assert close(r["pvalue"], st.kstwo.sf(dd, n), rel=1e-6 if n <= 10000 else 1e-2)
    if n > 10000:
        assert close(r["pvalue"], series(n, dd), rel=1e-13)


def test_ks_matrix_method_and_series_switch_at_10000():
    # the same D on both sides of the switch: exact agrees with scipy to many
    # digits, the series only to its approximation
    d = 0.012
    p0 = m.ks_1samp_np(uniform_sample_with_d(10000, d), "uniform", [0, 1])["pvalue"]
    p1 = m.ks_1samp_np(uniform_sample_with_d(10001, d), "uniform", [0, 1])["pvalue"]
    assert close(p0, st.kstwo.sf(d, 10000), rel=1e-8)
    assert close(p1, series(10001, d), rel=1e-13)
    assert p0 != p1


def test_ks_large_statistic_is_answered_by_the_series():
    # n D = 4000: the exact matrix would have order 8001
    n, d = 10000, 0.4
    r = m.ks_1samp_np(uniform_sample_with_d(n, d), "uniform", [0, 1])
    assert close(r["pvalue"], series(n, r["statistic"]), rel=1e-13)
    assert 0.0 <= r["pvalue"] < 1e-21


@pytest.mark.parametrize("n,d", [(10, 0.3), (500, 0.05), (20000, 0.005)])
def test_ks_one_sided_exact_matches_scipy(n, d):
    r = m.ks_1samp_np(uniform_sample_with_d(n, d), "uniform", [0, 1], "less")
    assert close(r["pvalue"], st.ksone.sf(r["statistic"], n), rel=1e-9)


def test_ks_errors_in_order():
    x = a([0.1, 0.2])
    assert raises(ValueError, m.ks_1samp_np, a([]), "bad", [1.0], "bad") == "x must have at least 1 element"
    assert raises(ValueError, m.ks_1samp_np, a([NAN]), "bad", [1.0], "bad") == NAN_MSG.format("x")
    assert raises(ValueError, m.ks_1samp_np, x, "bad", [1.0], "LESS") == ALT_MSG
    for bad in ["Norm", "gauss", "norm "]:
        assert raises(ValueError, m.ks_1samp_np, x, bad, [0.0, 1.0]) == "cdf must be one of: 'norm', 'uniform', 'expon'"
    for cdf, name in [("norm", "norm"), ("normal", "norm"), ("uniform", "uniform"), ("expon", "expon"),
                      ("exponential", "expon")]:
        for params in [[0.0], [], [0.0, 1.0, 2.0]]:
            msg = raises(ValueError, m.ks_1samp_np, x, cdf, params)
            assert msg == f"cdf='{name}' expects params=[loc, scale]"
    for params in [[NAN, 1.0], [0.0, INF], [-INF, -1.0]]:
        assert raises(ValueError, m.ks_1samp_np, x, "norm", params) == "params must be finite"
    for params in [[0.0, 0.0], [0.0, -1.0]]:
        assert raises(ValueError, m.ks_1samp_np, x, "expon", params) == "scale must be > 0"
    raises(TypeError, m.ks_1samp_np, x, "norm", "01")
    raises(TypeError, m.ks_1samp_np, x, "norm", [0.0, "1"])


# ---------------------------------------------------------------- normality

def jb_reference(x):
    n = len(x)
    _, m2, m3, m4 = central_moments(x)
    s = m3 / math.pow(m2, 1.5)
    k = m4 / (m2 * m2)
    return n / 6 * (s * s + (k - 3.0) * (k - 3.0) * 0.25), s, k


def ad_reference(x, mean, s):
    z = sorted((float(v) - mean) / s for v in x)
    n = len(z)
    total = 0.0
    for i in range(1, n + 1):
        aa = math.log(min(max(phi(z[i - 1]), 1e-300), 1.0))
        bb = math.log(min(max(upper(z[n - i]), 1e-300), 1.0))
        total += (2 * i - 1) * (aa + bb)
    return (-n - total / n) * (1 + 4 / n - 25 / n ** 2)


@pytest.mark.parametrize("seed,n", [(0, 4), (1, 25), (2, 1000)])
def test_jarque_bera(seed, n):
    x = np.random.default_rng(seed).standard_gamma(2.0, n) * 3.0 + 1e3
    r = m.jarque_bera_np(x)
    assert list(r) == ["statistic", "pvalue", "skewness", "kurtosis"]
    jb, s, k = jb_reference(x)
    assert same(r["statistic"], jb) and same(r["skewness"], s) and same(r["kurtosis"], k)
    assert close(r["pvalue"], 1.0 - st.chi2.cdf(jb, 2), rel=1e-13, abs_=1e-16)
    ref = st.jarque_bera(x)
    assert close(r["statistic"], ref.statistic, rel=1e-9)


def test_jarque_bera_symmetric_and_errors():
    r = m.jarque_bera_np(a([-2.0, -1.0, 1.0, 2.0]))
    assert r["skewness"] == 0.0 and r["kurtosis"] < 3.0
    assert same(r["statistic"], 4 / 6 * ((r["kurtosis"] - 3.0) ** 2 * 0.25))
    assert raises(ValueError, m.jarque_bera_np, a([1.0, NAN, 2.0])) == "jarque_bera requires n >= 4"
    assert raises(ValueError, m.jarque_bera_np, a([1.0, 2.0, 3.0, INF])) == NAN_MSG.format("x")
    assert raises(ValueError, m.jarque_bera_np, a([1.0] * 4)) == "variance is zero"


@pytest.mark.parametrize("seed,n", [(0, 2), (1, 3), (2, 50), (3, 2000)])
def test_anderson_darling(seed, n):
    x = np.random.default_rng(seed).standard_normal(n) * 2.0 + 5.0
    r = m.anderson_darling_np(x)
    assert list(r) == ["statistic"]
    mean = loop_sum(x) / n
    ss = loop_sum((float(v) - mean) * (float(v) - mean) for v in x)
    assert close(r["statistic"], ad_reference(x, mean, math.sqrt(ss / (n - 1))), rel=1e-12, abs_=1e-13)
    if n >= 3:
        assert close(r["statistic"], st.anderson(x, method="interpolate").statistic * (1 + 4 / n - 25 / n ** 2),
                     rel=1e-9)


def test_anderson_darling_tiny_and_extreme_samples():
    r = m.anderson_darling_np(a([1.0, 2.0]))
    assert close(r["statistic"], ad_reference([1.0, 2.0], 1.5, math.sqrt(0.5)), rel=1e-13)
    assert r["statistic"] < 0.0  # factor 1 + 2 - 6.25
    x = np.zeros(60)
    x[0] = 1e6  # the outlier's tail is clamped at 1e-300
    s = m.anderson_darling_np(x)["statistic"]
    assert math.isfinite(s) and s > 10
    assert raises(ValueError, m.anderson_darling_np, a([1.0])) == "anderson_darling requires n >= 2"
    assert raises(ValueError, m.anderson_darling_np, a([NAN])) == "anderson_darling requires n >= 2"
    assert raises(ValueError, m.anderson_darling_np, a([1.0, NAN])) == NAN_MSG.format("x")
    assert raises(ValueError, m.anderson_darling_np, a([3.0, 3.0, 3.0])) == "variance is zero"


def _outlier_samples():
    x = np.zeros(100)
    x[-1] = 1.0  # z of the outlier near 9.9: 1 - Phi(z) would be exactly 0 there
    rng = np.random.default_rng(11)
    y = rng.standard_normal(300)
    y[:3] = [40.0, 25.0, -12.0]
    z = np.r_[np.zeros(2000), 1e6]  # clamped at 1e-300 in both tails
    return [x, y, rng.standard_exponential(500) ** 3, z]


@pytest.mark.parametrize("k", range(4))
def test_anderson_darling_tails_reflect(k):
    # Both tails go through erfc, so reflecting the sample only swaps the two
    # terms of every summand: the statistic keeps every bit.
    x = _outlier_samples()[k]
    n = len(x)
    for stat in (lambda v: m.anderson_darling_np(v)["statistic"],
                 lambda v: m.normality_summary_np(v)["ad_statistic"]):
        s = stat(x)
        assert s == stat(-x) and math.isfinite(s)
        if k < 3:  # SciPy uses logcdf/logsf; no value of these reaches the clamp
            ref = st.anderson(x, method="interpolate").statistic * (1 + 4 / n - 25 / n ** 2)
            assert close(s, ref, rel=1e-10)
    assert m.anderson_darling_np(_outlier_samples()[0])["statistic"] == pytest.approx(39.6714185733208, rel=1e-12)


def test_normality_summary():
    x = np.random.default_rng(9).standard_t(5, 400)
    r = m.normality_summary_np(x)
    assert list(r) == ["skewness", "kurtosis", "excess_kurtosis", "jb_statistic", "jb_pvalue", "ad_statistic", "n"]
    assert type(r["n"]) is int and r["n"] == 400
    jb = m.jarque_bera_np(x)
    assert same(r["skewness"], jb["skewness"]) and same(r["kurtosis"], jb["kurtosis"])
    assert same(r["excess_kurtosis"], jb["kurtosis"] - 3.0)
    assert same(r["jb_statistic"], jb["statistic"]) and same(r["jb_pvalue"], jb["pvalue"])
    mean, m2, _, _ = central_moments(x)
    assert close(r["ad_statistic"], ad_reference(x, mean, math.sqrt(m2 * 400 / 399)), rel=1e-12)
    assert close(r["ad_statistic"], m.anderson_darling_np(x)["statistic"], rel=1e-12)
    assert abs(m.normality_summary_np(a([-3.0, -1.0, 1.0, 3.0]))["skewness"]) < 1e-15
    assert raises(ValueError, m.normality_summary_np, a([1.0, 2.0, NAN])) == "normality_summary requires n >= 4"
    assert raises(ValueError, m.normality_summary_np, a([1.0, 2.0, 3.0, NAN])) == NAN_MSG.format("x")
    assert raises(ValueError, m.normality_summary_np, a([2.0] * 4)) == "variance is zero"


Y50 = np.random.default_rng(1).standard_normal(50)


@pytest.mark.parametrize("k", [-1000, -540, 510, 1000])
@pytest.mark.parametrize("x", [Y50, a([1.7e308, 1.7e308, -1.7e308, 1e307, 2e306]) * 2.0 ** -1000])
def test_normality_far_from_one_answers_as_unscaled(x, k):
    # Sums of squares (and fourth powers) of such data over- or underflow
    # unless the data are read in their power-of-two unit: ldexp(Y50, 510)
    # once gave an Anderson-Darling statistic of 20.67 for 0.481.
    n = len(x)
    sx = np.ldexp(x, k)
    jb, ad, summary = m.jarque_bera_np(sx), m.anderson_darling_np(sx), m.normality_summary_np(sx)
    assert jb == m.jarque_bera_np(x) and ad == m.anderson_darling_np(x) and summary == m.normality_summary_np(x)
    ref = st.jarque_bera(x)
    assert close(jb["statistic"], ref.statistic, rel=1e-9) and close(jb["pvalue"], ref.pvalue, rel=1e-9)
    assert close(ad["statistic"], st.anderson(x, method="interpolate").statistic * (1 + 4 / n - 25 / n ** 2), rel=1e-9)
    assert close(summary["ad_statistic"], ad["statistic"], rel=1e-12)
    if x is Y50:
        assert close(ad["statistic"], 0.481, rel=1e-3)


def test_inputs_not_modified():
    x = np.random.default_rng(1).standard_normal(30)
    y = x[::-1].copy()
    kx, ky = x.copy(), y.copy()
    m.mann_whitney_u_np(x, y)
    m.ks_1samp_np(x, "norm", [0, 1])
    m.jarque_bera_np(x)
    m.anderson_darling_np(x)
    m.normality_summary_np(x)
    assert same(x, kx) and same(y, ky)
