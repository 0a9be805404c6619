import math
from fractions import Fraction

import numpy as np
import pytest
import scipy.special as sp
import scipy.stats as st
from statsmodels.stats.multitest import multipletests

from reference import central_moments, kahan_ss, loop_sum, same, unit_mismatches
from marlox_stats import marlox_stats_rs as m

a = np.array
NAN_MSG = "{} contains NaN or Inf; marlox-stats v0.3 nan_policy is 'reject'"


def moments(x):
    n = len(x)
    mean = loop_sum(x) / n
    return float(n), mean, kahan_ss(x, mean) / (n - 1.0)


def ref_cohens_d(x, y, pooled):
    nx, mx, vx = moments(x)
    ny, my, vy = moments(y)
    s2 = (vx * (nx - 1.0) + vy * (ny - 1.0)) / (nx + ny - 2.0) if pooled else (vx + vy) * 0.5
    return 0.0 if s2 == 0.0 else (mx - my) / math.sqrt(s2)


def rng_pair(seed, n1, n2):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(n1) * 1.7 + 0.4, rng.standard_normal(n2) * 0.6 - 0.2


# ------------------------------------------------ Cohen's d and Hedges' g


@pytest.mark.parametrize("pooled", [True, False])
@pytest.mark.parametrize("sizes", [(2, 2), (5, 9), (200, 37)])
def test_cohens_d_and_hedges_g_exact(pooled, sizes):
    x, y = rng_pair(sizes[0] * 7 + sizes[1], *sizes)
    d = ref_cohens_d(x, y, pooled)
    assert same(m.cohens_d_2samp_np(x, y, pooled), d)
    df = float(len(x) + len(y) - 2)
    assert same(m.hedges_g_2samp_np2(x, y, pooled), (1.0 + (-3.0 / (df * 4.0 - 1.0))) * d)


def test_cohens_d_hand_values():
    assert m.cohens_d_2samp_np(a([1.0, 2.0, 3.0]), a([2.0, 3.0, 4.0]), True) == -1.0
    # zero combined variance gives 0.0 even though the means differ
    assert same(m.cohens_d_2samp_np(a([1.0, 1.0]), a([2.0, 2.0]), False), 0.0)
    assert same(m.hedges_g_2samp_np2(a([1.0, 1.0]), a([2.0, 2.0]), True), 0.0)
    d = m.cohens_d_2samp_np(a([1.0, 2.0]), a([2.0, 4.0]), True)
    assert m.hedges_g_2samp_np2(a([1.0, 2.0]), a([2.0, 4.0]), True) == pytest.approx(d * (1 - 3 / 7), rel=1e-15)


@pytest.mark.parametrize("fn, name", [(m.cohens_d_2samp_np, "cohens_d"), (m.hedges_g_2samp_np2, "hedges_g")])
def test_cohens_d_hedges_g_errors(fn, name):
    msg = f"{name} requires n>=2 for both samples"
    with pytest.raises(ValueError, match=f"^{msg}$"):
        fn(a([1.0]), a([1.0, 2.0]), True)
    with pytest.raises(ValueError, match=f"^{msg}$"):
        fn(a([1.0, 2.0]), a([]), False)
    # the NaN scan comes before the size check, x before y
    with pytest.raises(ValueError) as e:
        fn(a([math.inf]), a([math.nan]), True)
    assert str(e.value) == NAN_MSG.format("x")
    with pytest.raises(ValueError) as e:
        fn(a([1.0, 2.0]), a([2.0, -math.inf, 3.0]), True)
    assert str(e.value) == NAN_MSG.format("y")
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        fn(a([1.0, 2.0, 3.0, 4.0])[::2], a([math.nan, 1.0]), True)


# ------------------------------------------------ mean_diff_ci_np


def t_ppf(p, df):
    return st.t.ppf(p, df)


def test_mean_diff_ci_one_sample_hand_value():
    lo, hi = m.mean_diff_ci_np(a([1.0, 2.0, 3.0]))
    h = t_ppf(0.975, 2) / math.sqrt(3.0)
    assert (lo + hi) / 2 == pytest.approx(2.0, abs=1e-15)
    assert lo == pytest.approx(2.0 - h, rel=1e-13) and hi == pytest.approx(2.0 + h, rel=1e-13)


@pytest.mark.parametrize("alpha", [0.05, 0.01, 0.3])
@pytest.mark.parametrize("equal_var", [True, False])
@pytest.mark.parametrize("sizes", [(2, 3), (12, 40)])
def test_mean_diff_ci_two_samples(alpha, equal_var, sizes):
    x, y = rng_pair(sizes[0] + 31 * sizes[1], *sizes)
    nx, mx, vx = moments(x)
    ny, my, vy = moments(y)
    c = mx - my
    if equal_var:
        df = nx + ny - 2.0
        se = math.sqrt((1.0 / nx + 1.0 / ny) * ((vx * (nx - 1.0) + vy * (ny - 1.0)) / df))
    else:
        aa, bb = vx / nx, vy / ny
        se = math.sqrt(aa + bb)
        den = vx * vx / (nx * nx * (nx - 1.0)) + vy * vy / (ny * ny * (ny - 1.0))
        df = min(max((aa + bb) ** 2 / den, 1.0), nx + ny - 2.0)
    h = se * t_ppf(1.0 - alpha / 2.0, df)
    lo, hi = m.mean_diff_ci_np(x, y, alpha, equal_var)
    assert lo == pytest.approx(c - h, rel=1e-12, abs=1e-13)
    assert hi == pytest.approx(c + h, rel=1e-12, abs=1e-13)
    # statsmodels/scipy agree on the Welch and pooled intervals
    ref = st.ttest_ind(x, y, equal_var=equal_var).confidence_interval(1 - alpha)
    assert (lo, hi) == pytest.approx((ref.low, ref.high), rel=1e-9)


def test_mean_diff_ci_welch_df_is_clamped():
    # Welch df of two samples whose variances differ hugely stays >= 1; with
    # equal spreads it cannot exceed n_x + n_y - 2
    x, y = a([0.0, 1e3, -1e3]), a([0.0, 1e-3, 2e-3, 0.0, 1e-3])
    lo, hi = m.mean_diff_ci_np(x, y, 0.05, False)
    se = math.sqrt(np.var(x, ddof=1) / 3 + np.var(y, ddof=1) / 5)
    df = (np.var(x, ddof=1) / 3 + np.var(y, ddof=1) / 5) ** 2 / (
        np.var(x, ddof=1) ** 2 / 18 + np.var(y, ddof=1) ** 2 / 100)
    assert 1.0 <= df <= 6.0
    assert hi - lo == pytest.approx(2 * se * t_ppf(0.975, max(df, 1.0)), rel=1e-10)


def test_mean_diff_ci_degenerate_values():
    # zero spread gives (c, c); the Welch den of 0 falls back to n_x + n_y - 2
    assert m.mean_diff_ci_np(a([2.0, 2.0, 2.0])) == (2.0, 2.0)
    assert m.mean_diff_ci_np(a([2.0, 2.0]), a([1.0, 1.0]), 0.05, False) == (1.0, 1.0)
    # alpha 0 gives infinite bounds; alpha above 1 a negative t
    lo, hi = m.mean_diff_ci_np(a([1.0, 2.0, 4.0]), None, 0.0)
    assert lo == -math.inf and hi == math.inf
    lo, hi = m.mean_diff_ci_np(a([1.0, 2.0, 4.0]), None, 1.5)
    assert lo > hi


@pytest.mark.parametrize("alpha", [math.nan, -0.5, -1e-300, 2.0000000000000004, 2.5, math.inf, -math.inf])
@pytest.mark.parametrize("y", [None, a([0.0, 3.0])])
def test_mean_diff_ci_alpha_outside_domain_raises(alpha, y):
    # 1 - alpha/2 is the level of a quantile: outside [0, 1] there is none
    with pytest.raises(ValueError, match=r"^alpha must be in \[0, 2\]$"):
        m.mean_diff_ci_np(a([1.0, 2.0, 4.0]), y, alpha)
    # the samples are judged first
    with pytest.raises(ValueError, match="^x must have n>=2$"):
        m.mean_diff_ci_np(a([1.0]), y, alpha)
    with pytest.raises(ValueError, match="^y must have n>=2$"):
        m.mean_diff_ci_np(a([1.0, 2.0]), a([3.0]), alpha)
    # both ends of the domain still compute: alpha 2 puts the level at 0
    lo, hi = m.mean_diff_ci_np(a([1.0, 2.0, 4.0]), y, 2.0)
    assert lo == math.inf and hi == -math.inf


def test_mean_diff_ci_check_order():
    with pytest.raises(ValueError, match="^x must have n>=2$"):
        m.mean_diff_ci_np(a([1.0]), a([1.0, 2.0])[::2])
    # x is judged whole (contiguity, NaN, size) before y's contiguity
    with pytest.raises(ValueError) as e:
        m.mean_diff_ci_np(a([math.nan, 1.0]), a([1.0, 2.0, 3.0, 4.0])[::2])
    assert str(e.value) == NAN_MSG.format("x")
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.mean_diff_ci_np(a([1.0, 2.0]), a([math.nan, 2.0, 3.0, 4.0])[::2])
    with pytest.raises(ValueError) as e:
        m.mean_diff_ci_np(a([1.0, 2.0]), a([math.inf]))
    assert str(e.value) == NAN_MSG.format("y")
    with pytest.raises(ValueError, match="^y must have n>=2$"):
        m.mean_diff_ci_np(a([1.0, 2.0]), a([3.0]))
    with pytest.raises(TypeError):
        m.mean_diff_ci_np(a([1.0, 2.0]), [1.0, 2.0])


# ------------------------------------------------ constant samples

# equal values whose mean rounds (ten 0.1 average to 0.09999999999999999) and
# values whose mean is exact
CONSTANTS = [0.1, 0.7, 1 / 3, 2.0, 1e-300 * 3, 1e300 / 3, -0.1, -2 / 3]


@pytest.mark.parametrize("v", CONSTANTS)
@pytest.mark.parametrize("n", [3, 10])
def test_constant_samples_have_zero_spread(v, n):
    # a sample of equal values has variance exactly 0, as [2, 2, 2] has,
    # whether or not its computed mean rounds
    c, c2 = np.full(n, v), np.full(n + 1, -3 * v)
    for pooled in (True, False):
        assert same(m.cohens_d_2samp_np(c, c2, pooled), 0.0)
        assert same(m.hedges_g_2samp_np2(c2, c, pooled), 0.0)
    lo, hi = m.mean_diff_ci_np(c)
    assert lo == hi
    for equal_var in (True, False):
        lo, hi = m.mean_diff_ci_np(c, c2, 0.05, equal_var)
        assert lo == hi
    zero = dict.fromkeys(["eta_squared", "omega_squared", "ss_between", "ss_within", "ss_total"], 0.0)
    assert m.anova_effect_sizes_np([c, np.full(n + 2, v), c]) == zero
    assert m.anova_effect_sizes_np([c, c2])["ss_within"] == 0.0
    # the tests see a constant sample at its own value, with no spread: no
    # difference gives statistic 0, any other an infinite one
    assert m.t_test_1samp_np(c, v) == {"statistic": 0.0, "pvalue": 1.0, "df": n - 1.0, "mean": v}
    assert m.t_test_1samp_np(c, math.nextafter(v, math.inf))["statistic"] == -math.inf
    for equal_var in (True, False):
        r = m.t_test_2samp_np(c, np.full(n + 2, v), equal_var)
        assert (r["statistic"], r["pvalue"], r["mean_x"], r["mean_y"]) == (0.0, 1.0, v, v)
    y = v * np.resize([-2.0, -1.0, 0.0, 1.0], n)
    assert (y + v - y == v).all()  # differences all exactly v
    inf = math.copysign(math.inf, v)
    assert m.t_test_paired_np(y + v, y) == {"statistic": inf, "pvalue": 0.0, "df": n - 1.0, "mean": v}
    one_value = m.f_test_oneway_np([c, np.full(n + 2, v), c])
    assert (one_value["statistic"], one_value["pvalue"]) == (0.0, 1.0)
    # groups of two values whose deviations from their median are all |w|
    def spread(w, size=2 * n):
        return np.resize([0.0, 2.0 * w], size)

    one_value = m.levene_test_np([spread(v), spread(v, 2 * n + 4)])
    assert (one_value["statistic"], one_value["pvalue"]) == (0.0, 1.0)
    if not 1e-100 < abs(v) < 1e100:
        return
    # constant samples of different values differ infinitely, as 2.0 and -6.0 do
    for equal_var in (True, False):
        r = m.t_test_2samp_np(c, c2, equal_var)
        assert (r["statistic"], r["pvalue"]) == (inf, 0.0)
    r = m.f_test_oneway_np([c, c2])
    assert (r["statistic"], r["pvalue"]) == (math.inf, 0.0)
    exact = m.levene_test_np([spread(2.0), spread(-6.0)])
    assert m.levene_test_np([spread(v), spread(-3 * v)]) == exact
    # against a sample of tiny spread whose mean and deviations are exact, the
    # constant one adds nothing to the combined variance (exact arithmetic)
    y0 = -2.0 ** math.ceil(math.log2(abs(v)))
    u = abs(y0) * 2.0 ** -46
    y = np.resize([y0, y0 + u], 4)
    for pooled in (True, False):
        vy = Fraction(u / 2) ** 2 * 4 / 3
        s2 = vy * 3 / (n + 2) if pooled else vy / 2
        d = (Fraction(v) - Fraction(y0) - Fraction(u / 2)) / Fraction(math.sqrt(s2))
        assert m.cohens_d_2samp_np(c, y, pooled) == pytest.approx(float(d), rel=1e-14)
        assert m.cohens_d_2samp_np(y, c, pooled) == pytest.approx(-float(d), rel=1e-14)
        assert m.anova_effect_sizes_np([c, y])["ss_within"] == pytest.approx(float(vy * 3), rel=1e-15)


# ------------------------------------------------ Cliff's delta and rank-biserial


def test_cliffs_delta_hand_values():
    assert m.cliffs_delta_np(a([3.0, 4.0]), a([1.0, 2.0])) == {
        "delta": 1.0, "dominance_greater": 4, "dominance_less": 0, "magnitude": "large"}
    r = m.cliffs_delta_np(a([1.0, 2.0, 2.0]), a([2.0, 1.0, 2.0]))
    assert r["delta"] == 0.0 and r["magnitude"] == "negligible"
    assert list(r) == ["delta", "dominance_greater", "dominance_less", "magnitude"]
    assert type(r["dominance_greater"]) is int
    # -0.0 ties +0.0
    assert m.cliffs_delta_np(a([-0.0]), a([0.0]))["delta"] == 0.0


@pytest.mark.parametrize("seed", range(4))
def test_cliffs_delta_matches_pairwise_count(seed):
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 12, 37).astype(float)  # many ties
    y = rng.integers(3, 15, 23).astype(float)
    diff = np.sign(x[:, None] - y[None, :])
    g, l_ = int((diff > 0).sum()), int((diff < 0).sum())
    r = m.cliffs_delta_np(x, y)
    assert (r["dominance_greater"], r["dominance_less"]) == (g, l_)
    assert same(r["delta"], (float(g) - float(l_)) / float(len(x) * len(y)))


def test_cliffs_delta_large_samples_with_signed_zeros():
    rng = np.random.default_rng(11)
    x = np.round(rng.standard_normal(3000), 2)
    y = np.round(rng.standard_normal(2500) + 0.1, 2)
    x[:50], y[:40] = -0.0, 0.0
    ys = np.sort(y)
    g = int(np.searchsorted(ys, x, "left").sum())
    l_ = int((len(y) - np.searchsorted(ys, x, "right")).sum())
    before = x.copy()
    r = m.cliffs_delta_np(x, y)
    assert np.array_equal(x, before)
    assert (r["dominance_greater"], r["dominance_less"]) == (g, l_)
    assert same(r["delta"], (float(g) - float(l_)) / (3000.0 * 2500.0))


@pytest.mark.parametrize("greater, total, delta, mag", [
    (0, 1000, -1.0, "large"), (853, 2000, -0.147, "small"), (854, 2000, -0.146, "negligible"),
    (335, 1000, -0.33, "medium"), (336, 1000, -0.328, "small"), (263, 1000, -0.474, "large"),
    (264, 1000, -0.472, "medium"), (665, 1000, 0.33, "medium")])
def test_cliffs_delta_magnitude_bounds(greater, total, delta, mag):
    # x above y in `greater` pairs, below in the rest: each bound belongs to the higher class
    x = a([0.0])
    y = a([-1.0] * greater + [1.0] * (total - greater))
    r = m.cliffs_delta_np(x, y)
    assert r["delta"] == delta and r["magnitude"] == mag, r


@pytest.mark.parametrize("seed", range(3))
def test_rank_biserial_matches_oracle(seed):
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 9, 15).astype(float)
    y = rng.integers(2, 11, 21).astype(float)
    ranks = st.rankdata(np.concatenate([x, y]))
    r_x = loop_sum(ranks[:15])
    u = r_x + ((15.0 + 1.0) * 15.0) * (-0.5)
    res = m.rank_biserial_np(x, y)
    assert list(res) == ["rank_biserial", "u_statistic"]
    assert same(res["u_statistic"], u)
    assert same(res["rank_biserial"], 1.0 - (u + u) / (15.0 * 21.0))
    assert u == st.mannwhitneyu(x, y).statistic


@pytest.mark.parametrize("n1, n2", [(1, 1), (300, 5000)])
def test_rank_biserial_signed_zero_and_ties(n1, n2):
    rng = np.random.default_rng(n2)
    x = np.round(rng.standard_normal(n1), 1)
    y = np.round(rng.standard_normal(n2), 1)
    x[0], y[0] = -0.0, 0.0
    ranks = st.rankdata(np.concatenate([x, y]))
    u = loop_sum(ranks[:n1]) + ((n1 + 1.0) * n1) * (-0.5)
    r = m.rank_biserial_np(x, y)
    assert same([r["u_statistic"], r["rank_biserial"]], [u, 1.0 - (u + u) / (float(n1) * n2)])


def test_rank_biserial_hand_values():
    assert m.rank_biserial_np(a([1.0, 2.0]), a([3.0, 4.0])) == {"rank_biserial": 1.0, "u_statistic": 0.0}
    assert m.rank_biserial_np(a([3.0, 4.0]), a([1.0, 2.0])) == {"rank_biserial": -1.0, "u_statistic": 4.0}


@pytest.mark.parametrize("fn", [m.cliffs_delta_np, m.rank_biserial_np])
def test_two_sample_nonparam_errors(fn):
    for x, y in [(a([]), a([1.0])), (a([1.0]), a([])), (a([math.nan]), a([]))]:
        with pytest.raises(ValueError, match="^x and y must be non-empty$"):
            fn(x, y)
    with pytest.raises(ValueError) as e:
        fn(a([1.0, math.inf]), a([math.nan]))
    assert str(e.value) == NAN_MSG.format("x")
    with pytest.raises(ValueError) as e:
        fn(a([1.0]), a([2.0, math.nan]))
    assert str(e.value) == NAN_MSG.format("y")
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        fn(a([1.0, 2.0]), a([1.0, 2.0, 3.0])[::2])


# ------------------------------------------------ anova_effect_sizes_np


def test_anova_effect_sizes_hand_values():
    r = m.anova_effect_sizes_np([a([1.0, 2.0]), a([3.0, 4.0])])
    assert r == {"eta_squared": 0.8, "omega_squared": 3.5 / 5.5, "ss_between": 4.0, "ss_within": 1.0,
                 "ss_total": 5.0}
    assert list(r) == ["eta_squared", "omega_squared", "ss_between", "ss_within", "ss_total"]
    r = m.anova_effect_sizes_np([a([2.0, 2.0]), a([2.0, 2.0, 2.0])])
    assert r == {"eta_squared": 0.0, "omega_squared": 0.0, "ss_between": 0.0, "ss_within": 0.0, "ss_total": 0.0}
    # omega is floored at 0 when the groups differ less than their spread suggests
    r = m.anova_effect_sizes_np([a([0.0, 10.0]), a([1.0, 10.0]), a([0.0, 9.0])])
    assert r["omega_squared"] == 0.0 and r["eta_squared"] > 0.0


@pytest.mark.parametrize("sizes", [(2, 3), (10, 4, 25), (100, 3, 7, 60)])
def test_anova_effect_sizes_exact(sizes):
    rng = np.random.default_rng(sum(sizes))
    groups = [rng.standard_normal(n) * (i + 1) + i for i, n in enumerate(sizes)]
    sums = [loop_sum(g) for g in groups]
    big_n, k = float(sum(sizes)), float(len(sizes))
    gm = loop_sum(sums) / big_n
    ss_b = ss_w = 0.0
    for g, s in zip(groups, sums):
        mg = s / len(g)
        d = mg - gm
        ss_b += d * (d * len(g))
        ss_w += kahan_ss(g, mg)
    ss_t = ss_b + ss_w
    ms_w = ss_w / (big_n - k)
    r = m.anova_effect_sizes_np(groups)
    assert same([r["ss_between"], r["ss_within"], r["ss_total"]], [ss_b, ss_w, ss_t])
    assert same(r["eta_squared"], ss_b / ss_t)
    assert same(r["omega_squared"], max((ss_b - (k - 1.0) * ms_w) / (ss_t + ms_w), 0.0))
    # the F statistic of scipy follows from the same sums of squares
    f = (ss_b / (k - 1)) / ms_w
    assert f == pytest.approx(st.f_oneway(*groups).statistic, rel=1e-10)


def test_anova_effect_sizes_errors():
    with pytest.raises(ValueError, match="^requires at least 2 groups$"):
        m.anova_effect_sizes_np([a([1.0, 2.0])])
    with pytest.raises(ValueError, match="^requires at least 2 groups$"):
        m.anova_effect_sizes_np([])
    with pytest.raises(ValueError, match="^each group must have at least 2 observations$"):
        m.anova_effect_sizes_np([a([1.0, 2.0]), a([3.0])])
    # the first failing group decides
    with pytest.raises(ValueError) as e:
        m.anova_effect_sizes_np([a([1.0, math.nan]), a([3.0])])
    assert str(e.value) == NAN_MSG.format("group")
    with pytest.raises(ValueError, match="^each group must have at least 2 observations$"):
        m.anova_effect_sizes_np([a([1.0]), a([3.0, math.inf])])
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.anova_effect_sizes_np([a([1.0, 2.0]), a([1.0, 2.0, 3.0, 4.0])[::2], a([1.0])])


# ------------------------------------------------ normality_summary_np


def ref_normality(x):
    n = len(x)
    dn = float(n)
    mean, m2, m3, m4 = central_moments(x)
    skew = m3 / m2 ** 1.5
    kurt = m4 / (m2 * m2)
    ex = kurt - 3.0
    jb = (dn / 6.0) * (skew * skew + ex * ex * 0.25)
    s = math.sqrt(m2 * dn / (dn - 1.0))
    z = np.sort([(float(v) - mean) / s for v in x])
    phi = [0.5 * math.erfc(-v / 1.4142135623730951) for v in z]
    sf = [0.5 * math.erfc(v / 1.4142135623730951) for v in z]
    acc = 0.0
    for i in range(1, n + 1):
        ai = math.log(min(max(phi[i - 1], 1e-300), 1.0))
        bi = math.log(min(max(sf[n - i], 1e-300), 1.0))
        acc += (i + i - 1) * (ai + bi)
    a2 = -dn - acc / dn
    return skew, kurt, ex, jb, ((4.0 / dn + 1.0) - 25.0 / (dn * dn)) * a2


@pytest.mark.parametrize("n", [4, 9, 150, 5000])
def test_normality_summary_matches_oracle(n):
    x = np.random.default_rng(n).standard_gamma(2.0, n)
    r = m.normality_summary_np(x)
    assert list(r) == ["skewness", "kurtosis", "excess_kurtosis", "jb_statistic", "jb_pvalue",
                       "ad_statistic", "n"]
    skew, kurt, ex, jb, ad = ref_normality(x)
    assert same([r["skewness"], r["kurtosis"], r["excess_kurtosis"], r["jb_statistic"]], [skew, kurt, ex, jb])
    assert r["ad_statistic"] == pytest.approx(ad, rel=1e-12)
    assert r["jb_pvalue"] == pytest.approx(st.chi2.sf(jb, 2), rel=1e-12)
    assert r["n"] == n and type(r["n"]) is int
    # the moments agree with scipy's biased estimators
    assert r["skewness"] == pytest.approx(st.skew(x), rel=1e-10)
    assert r["excess_kurtosis"] == pytest.approx(st.kurtosis(x), rel=1e-10)


def test_normality_summary_symmetric_and_extreme_tails():
    r = m.normality_summary_np(a([-2.0, -1.0, 0.0, 1.0, 2.0]))
    assert r["skewness"] == 0.0
    # one far outlier drives Phi to 0/1: the logarithms are clamped at ln(1e-300)
    r = m.normality_summary_np(a([0.0] * 2000 + [1e6]))
    assert math.isfinite(r["ad_statistic"]) and r["jb_pvalue"] == 0.0


def test_normality_summary_errors():
    with pytest.raises(ValueError, match="^normality_summary requires n >= 4$"):
        m.normality_summary_np(a([1.0, math.nan, 3.0]))
    with pytest.raises(ValueError, match="^variance is zero$"):
        m.normality_summary_np(a([2.0] * 4))
    with pytest.raises(ValueError) as e:
        m.normality_summary_np(a([1.0, 2.0, 3.0, -math.inf]))
    assert str(e.value) == NAN_MSG.format("x")


def _ramp(c):
    return np.arange(len(c)) * 1.0


CONSTANT_REFUSALS = {
    "normality_summary": (m.normality_summary_np, "variance is zero"),
    "jarque_bera": (m.jarque_bera_np, "variance is zero"),
    "anderson_darling": (m.anderson_darling_np, "variance is zero"),
    "var_ci": (m.var_ci_np, "sample variance is zero"),
    "f_test_var_x": (lambda c: m.f_test_var_np(c, _ramp(c)), "variances must be positive"),
    "f_test_var_y": (lambda c: m.f_test_var_np(_ramp(c), c), "variances must be positive"),
    "bartlett": (lambda c: m.bartlett_test_np([_ramp(c), c]), "all group variances must be positive"),
    "pearson_x": (lambda c: m.pearson_corr_test_np(c, _ramp(c)), "zero variance in x or y"),
    "pearson_y": (lambda c: m.pearson_corr_test_np(_ramp(c) ** 2, c), "zero variance in x or y"),
    "corr_ci": (lambda c: m.corr_ci_np(_ramp(c), c), "zero variance in x or y"),
}


@pytest.mark.parametrize("case", CONSTANT_REFUSALS)
@pytest.mark.parametrize("v", CONSTANTS)
@pytest.mark.parametrize("n", [4, 10, 31])
def test_a_constant_sample_is_refused(case, v, n):
    # equal values have variance exactly 0, as four 2.0 have, whether or not
    # their computed mean rounds
    fn, msg = CONSTANT_REFUSALS[case]
    with pytest.raises(ValueError, match=f"^{msg}$"):
        fn(np.full(n, v))


# ------------------------------------------------ data far from 1

# Sums of squares of such data over- or underflow unless the data are read in
# their power-of-two unit; read so, every effect size is that of the unscaled
# data and every interval end or sum of squares that of the unscaled data,
# scaled.
G3 = [np.random.default_rng(i).standard_normal(20) + 0.3 * i for i in range(3)]
Y50 = np.random.default_rng(1).standard_normal(50)
FAR = [-1000, -540, 510, 1000]


def _sc(groups, k):
    return [np.ldexp(g, k) for g in groups]


def _d_ref(x, y):
    nx, ny = len(x), len(y)
    s2 = ((nx - 1) * np.var(x, ddof=1) + (ny - 1) * np.var(y, ddof=1)) / (nx + ny - 2)
    return (np.mean(x) - np.mean(y)) / np.sqrt(s2)


def _anova_ref(groups):
    pooled = np.concatenate(groups)
    ss_b = sum(len(g) * (g.mean() - pooled.mean()) ** 2 for g in groups)
    ss_w = sum(((g - g.mean()) ** 2).sum() for g in groups)
    ms_w = ss_w / (len(pooled) - len(groups))
    return {"eta_squared": ss_b / (ss_b + ss_w), "omega_squared": (ss_b - (len(groups) - 1) * ms_w) / (ss_b + ss_w + ms_w),
            "ss_between": ss_b, "ss_within": ss_w, "ss_total": ss_b + ss_w}


def _normality_ref(x):
    n = len(x)
    jb = st.jarque_bera(x)
    return {"skewness": st.skew(x), "excess_kurtosis": st.kurtosis(x), "jb_statistic": jb.statistic,
            "jb_pvalue": jb.pvalue, "ad_statistic": st.anderson(x, method="interpolate").statistic * (1 + 4 / n - 25 / n ** 2)}


def _ends(ci):
    return {"lower": ci[0], "upper": ci[1]}


ENDS = {"lower": 1, "upper": 1}
HEDGES = 1 - 3 / (4 * 38 - 1)
# name: (our call on the data scaled by 2^k, as a dict; the peer on the
# unscaled data; the power of the data's unit each output carries)
FAR_CASES = {
    "cohens_d_2samp_np": (lambda k: {"d": m.cohens_d_2samp_np(*_sc(G3[:2], k), True)},
                          lambda: {"d": _d_ref(G3[0], G3[1])}, {}),
    "hedges_g_2samp_np2": (lambda k: {"g": m.hedges_g_2samp_np2(*_sc(G3[1:], k), True)},
                           lambda: {"g": _d_ref(G3[1], G3[2]) * HEDGES}, {}),
    "mean_diff_ci_np one": (lambda k: _ends(m.mean_diff_ci_np(np.ldexp(Y50, k))),
                            lambda: _ends(st.ttest_1samp(Y50, 0.0).confidence_interval(0.95)), ENDS),
    "mean_diff_ci_np": (lambda k: _ends(m.mean_diff_ci_np(*_sc(G3[:2], k))),
                        lambda: _ends(st.ttest_ind(G3[0], G3[1]).confidence_interval(0.95)), ENDS),
    "mean_diff_ci_np welch": (lambda k: _ends(m.mean_diff_ci_np(*_sc([G3[0], 2.0 * G3[2]], k), 0.1, False)),
                              lambda: _ends(st.ttest_ind(G3[0], 2.0 * G3[2], equal_var=False).confidence_interval(0.9)),
                              ENDS),
    "anova_effect_sizes_np": (lambda k: m.anova_effect_sizes_np(_sc(G3, k)), lambda: _anova_ref(G3),
                              {"ss_between": 2, "ss_within": 2, "ss_total": 2}),
    "normality_summary_np": (lambda k: m.normality_summary_np(np.ldexp(Y50, k)), lambda: _normality_ref(Y50), {}),
}


@pytest.mark.parametrize("k", FAR)
@pytest.mark.parametrize("name", FAR_CASES)
def test_data_far_from_one_answer_as_unscaled(name, k):
    ours, peer, powers = FAR_CASES[name]
    base = ours(0)
    assert not unit_mismatches(ours(k), base, k, powers)
    for key, want in peer().items():
        assert base[key] == pytest.approx(want, rel=1e-9, abs=1e-14), key


def test_far_reproducers():
    # Groups scaled by 2^-540 once gave 0.0 for every entry, and samples
    # scaled by 2^-1000 an interval of no width.
    r = m.anova_effect_sizes_np(_sc(G3, -540))
    assert r["eta_squared"] == m.anova_effect_sizes_np(G3)["eta_squared"] == pytest.approx(
        _anova_ref(G3)["eta_squared"], rel=1e-12)
    lo, hi = m.mean_diff_ci_np(*_sc(G3[:2], -1000))
    ref = st.ttest_ind(G3[0], G3[1]).confidence_interval(0.95)
    assert lo < hi
    assert (lo, hi) == pytest.approx((math.ldexp(ref[0], -1000), math.ldexp(ref[1], -1000)), rel=1e-12)


def test_normality_summary_of_values_near_the_largest_doubles():
    # Their deviations overflow, yet read in their unit they answer as the
    # same values scaled down.
    x = a([1.7e308, -1.7e308, 1.7e308, 1.7e308, -1.7e308])
    down = np.ldexp(x, -1000)
    r = m.normality_summary_np(x)
    assert r == m.normality_summary_np(down)
    assert r["ad_statistic"] == pytest.approx(_normality_ref(down)["ad_statistic"], rel=1e-12)


# ------------------------------------------------ p_adjust_np


def test_p_adjust_hand_values():
    p = a([0.01, 0.04, 0.03])
    assert m.p_adjust_np(a([0.01, 0.04, 0.5]), "bonferroni") == pytest.approx([0.03, 0.12, 1.0], rel=1e-15)
    assert m.p_adjust_np(p, "holm") == pytest.approx([0.03, 0.06, 0.06], rel=1e-15)
    assert m.p_adjust_np(p) == pytest.approx([0.03, 0.04, 0.04], rel=1e-15)


@pytest.mark.parametrize("method", ["bonferroni", "holm", "bh"])
def test_p_adjust_single_and_empty(method):
    assert same(m.p_adjust_np(a([0.37]), method), [0.37])
    out = m.p_adjust_np(a([]), "no such method")
    assert out.dtype == np.float64 and out.shape == (0,)


@pytest.mark.parametrize("ours, theirs", [
    ("bonferroni", "bonferroni"), ("holm", "holm"), ("bh", "fdr_bh"), ("FDR_BH", "fdr_bh"),
    ("Benjamini-Hochberg", "fdr_bh"), ("BONFERRONI", "bonferroni"), ("Holm", "holm"), ("BH", "fdr_bh")])
@pytest.mark.parametrize("seed", range(3))
def test_p_adjust_matches_statsmodels(ours, theirs, seed):
    rng = np.random.default_rng(seed)
    p = rng.uniform(0, 0.2, 57) ** 2
    p[[3, 9, 20]] = p[5]  # ties
    p[0], p[1] = 0.0, 1.0
    before = p.copy()
    out = m.p_adjust_np(p, ours)
    assert np.array_equal(p, before)
    ref = multipletests(p, method=theirs)[1]
    assert out == pytest.approx(ref, rel=1e-14, abs=0)


@pytest.mark.parametrize("seed, n", [(0, 40), (1, 41), (2, 5000)])
def test_p_adjust_exact_order_of_operations(seed, n):
    rng = np.random.default_rng(seed)
    p = rng.uniform(0, 0.1, n) ** rng.uniform(0.5, 3, n)
    p[7] = p[30]
    p[[2, 11]] = 0.0
    p[5] = -0.0  # equal to 0.0, so it ties with it
    p[rng.integers(0, n, n // 4)] = p[9]
    order = sorted(range(n), key=lambda i: (p[i], i))
    holm = [0.0] * n
    run = 0.0
    for r, i in enumerate(order):
        run = max(run, min(p[i] * (n - r), 1.0))
        holm[i] = run
    assert same(m.p_adjust_np(p, "holm"), holm)
    order = sorted(range(n), key=lambda i: (-p[i], i))
    bh = [0.0] * n
    run = 1.0
    for r, i in enumerate(order):
        run = min(run, min((p[i] * n) / (n - r), 1.0))
        bh[i] = run
    assert same(m.p_adjust_np(p, "bh"), bh)
    assert same(m.p_adjust_np(p, "bonferroni"), np.minimum(p * float(n), 1.0))


def test_p_adjust_errors_and_their_order():
    with pytest.raises(ValueError) as e:
        m.p_adjust_np(a([0.5, math.inf, -1.0]), "nope")
    assert str(e.value) == NAN_MSG.format("pvalues")
    for bad in (-0.1, 1.5):
        with pytest.raises(ValueError, match=r"^p-values must be in \[0, 1\]$"):
            m.p_adjust_np(a([0.5, bad]), "nope")
    for meth in ("hochberg", "BY", " bh", "", "b\u0127"):
        with pytest.raises(ValueError, match="^method must be one of: 'bonferroni', 'holm', 'bh'$"):
            m.p_adjust_np(a([0.5]), meth)
    with pytest.raises(TypeError):
        m.p_adjust_np(a([0.5]), 3)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.p_adjust_np(a([0.5, 0.2, 0.1])[::2])
    assert same(m.p_adjust_np(a([0.0, 1.0]), "holm"), [0.0, 1.0])
