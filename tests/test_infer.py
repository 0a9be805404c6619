import inspect
import math

import numpy as np
import pytest
import scipy.stats as st

from reference import loop_sum, same, kahan_ss
from marlox_stats import marlox_stats_rs as m

a = np.array
INF = math.inf
NAN_MSG = "{} contains NaN or Inf; marlox-stats v0.3 nan_policy is 'reject'"
ALT_MSG = "alternative must be one of: 'two-sided', 'less', 'greater'"


def close(ours, ref, rel=1e-12, abs_=1e-12):
    return ours == pytest.approx(ref, rel=rel, abs=abs_)


def samples(seed, n1, n2, n3=None):
    rng = np.random.default_rng(seed)
    out = [rng.standard_normal(n1) * 1.3 + 0.2, rng.standard_normal(n2) * 0.8 - 0.1]
    if n3:
        out.append(rng.standard_normal(n3) * 2.0 + 0.3)
    return out


# ---------------------------------------------------------------- the t tests

T_TESTS = {
    "t_test_1samp_np": lambda x, y, alt: m.t_test_1samp_np(x, 0.3, alt),
    "t_test_2samp_np": lambda x, y, alt: m.t_test_2samp_np(x, y, True, alt),
    "t_test_paired_np": lambda x, y, alt: m.t_test_paired_np(x, y, alt),
}


@pytest.mark.parametrize("seed,n1,n2", [(0, 5, 5), (1, 30, 45), (2, 200, 120), (3, 2, 3)])
@pytest.mark.parametrize("alt", ["two-sided", "less", "greater"])
def test_t_tests_agree_with_scipy(seed, n1, n2, alt):
    x, y = samples(seed, n1, n2)
    pairs = [
        (m.t_test_1samp_np(x, 0.3, alt), st.ttest_1samp(x, 0.3, alternative=alt)),
        (m.t_test_2samp_np(x, y, True, alt), st.ttest_ind(x, y, alternative=alt)),
        (m.t_test_2samp_np(x, y, False, alt), st.ttest_ind(x, y, equal_var=False, alternative=alt)),
    ]
    k = min(n1, n2)
    pairs.append((m.t_test_paired_np(x[:k], y[:k], alt), st.ttest_rel(x[:k], y[:k], alternative=alt)))
    for ours, ref in pairs:
        assert close(ours["statistic"], ref.statistic)
        assert close(ours["pvalue"], ref.pvalue, rel=1e-10, abs_=1e-14)
        assert close(ours["df"], float(ref.df), rel=1e-13)


def test_t_test_dicts():
    x, y = samples(4, 6, 6)
    r = m.t_test_1samp_np(x, 0.0)
    assert list(r) == ["statistic", "pvalue", "df", "mean"]
    assert r["df"] == 5.0 and type(r["df"]) is float
    assert same(r["mean"], loop_sum(x) / 6)
    r = m.t_test_2samp_np(x, y, False)
    assert list(r) == ["statistic", "pvalue", "df", "mean_x", "mean_y", "equal_var"]
    assert r["equal_var"] is False and m.t_test_2samp_np(x, y, True)["equal_var"] is True
    r = m.t_test_paired_np(x, y)
    assert list(r) == ["statistic", "pvalue", "df", "mean"]
    assert all(type(v) is float for v in r.values())


def test_t_test_1samp_hand_values():
    assert m.t_test_1samp_np(a([1.0, 2.0, 3.0]), 2.0) == {"statistic": 0.0, "pvalue": 1.0, "df": 2.0, "mean": 2.0}
    # mean 2, var 1: t = (2 - 1) / sqrt(1/3) = sqrt(3)
    r = m.t_test_1samp_np(a([1.0, 2.0, 3.0]), 1.0, "greater")
    assert close(r["statistic"], math.sqrt(3.0), rel=1e-15)
    assert close(r["pvalue"], st.t.sf(math.sqrt(3.0), 2), rel=1e-12)


def test_arithmetic_order_is_exact():
    # plain mean, compensated sum of squares, var / n under the root
    x = np.random.default_rng(16).standard_normal(101) * 1e3 + 1e6
    n = len(x)
    mean = loop_sum(x) / n
    var = kahan_ss(x, mean) / (n - 1)
    assert same(m.t_test_1samp_np(x, 1e6)["statistic"], (mean - 1e6) / math.sqrt(var / n))
    assert same(m.var_ci_np(x)["variance"], var)
    y = x[::-1] * 0.5
    mean_y = loop_sum(y) / n
    var_y = kahan_ss(y, mean_y) / (n - 1)
    r = m.t_test_2samp_np(x, y, False)
    assert same(r["mean_y"], mean_y)
    assert same(r["statistic"], (mean - mean_y) / math.sqrt(var / n + var_y / n))
    assert same(m.f_test_var_np(x, y)["statistic"], var / var_y)


def test_paired_is_one_sample_test_of_differences():
    x, y = samples(5, 40, 40)
    for alt in ("two-sided", "less", "greater"):
        p = m.t_test_paired_np(x, y, alt)
        o = m.t_test_1samp_np(x - y, 0.0, alt)
        assert all(same(p[k], o[k]) for k in o)


@pytest.mark.parametrize("alt,p", [("two-sided", 0.0), ("less", 1.0), ("greater", 0.0)])
def test_zero_variance_gives_infinite_statistic_and_distribution_pvalue(alt, p):
    c = a([5.0, 5.0, 5.0])
    r = m.t_test_1samp_np(c, 4.0, alt)
    assert r["statistic"] == INF and r["pvalue"] == p
    r = m.t_test_paired_np(c, c - 1.0, alt)
    assert r["statistic"] == INF and r["pvalue"] == p
    r = m.t_test_2samp_np(a([2.0, 2.0]), a([1.0, 1.0, 1.0]), True, alt)
    assert r["statistic"] == INF and r["pvalue"] == p
    r = m.t_test_2samp_np(a([1.0, 1.0]), a([2.0, 2.0]), False, alt)
    assert r["statistic"] == -INF and r["pvalue"] == {"two-sided": 0.0, "less": 0.0, "greater": 1.0}[alt]


def test_zero_variance_without_difference():
    c = a([5.0, 5.0, 5.0])
    assert m.t_test_1samp_np(c, 5.0)["statistic"] == 0.0
    assert m.t_test_1samp_np(c, 5.0)["pvalue"] == 1.0
    assert m.t_test_paired_np(c, c)["pvalue"] == 1.0
    r = m.t_test_2samp_np(a([0.1, 0.1]), a([0.1 + 1e-16, 0.1 + 1e-16]), True)
    assert r["statistic"] == 0.0 and r["pvalue"] == 1.0


def test_nan_popmean_gives_nan_pvalue():
    r = m.t_test_1samp_np(a([1.0, 2.0, 4.0]), math.nan)
    assert math.isnan(r["statistic"]) and math.isnan(r["pvalue"])
    r = m.t_test_1samp_np(a([1.0, 2.0, 4.0]), -INF, "less")
    assert r["statistic"] == INF and r["pvalue"] == 1.0
    r = m.t_test_1samp_np(a([3.0, 3.0]), math.nan)
    assert math.isnan(r["statistic"]) and math.isnan(r["pvalue"])


def test_welch_df_bounds():
    x, y = samples(6, 10, 10)
    r = m.t_test_2samp_np(x, -x, False)
    assert close(r["df"], 18.0, rel=1e-14) and r["df"] <= 18.0
    for seed in range(20):
        x, y = samples(seed, 3 + seed, 2 + 2 * seed)
        y = y * 10.0 ** (seed - 10)
        df = m.t_test_2samp_np(x, y, False)["df"]
        assert 1.0 <= df <= len(x) + len(y) - 2


@pytest.mark.parametrize("alt", ["two_sided", "two-sided"])
def test_two_sided_spellings(alt):
    x, y = samples(7, 8, 9)
    assert m.t_test_2samp_np(x, y, True, alt) == m.t_test_2samp_np(x, y, True)


@pytest.mark.parametrize("name", T_TESTS)
@pytest.mark.parametrize("alt", ["LESS", "Two-sided", " less", "", "two-sided "])
def test_bad_alternative(name, alt):
    x, y = samples(8, 5, 5)
    with pytest.raises(ValueError, match="^" + ALT_MSG.replace("(", r"\(") + "$"):
        T_TESTS[name](x, y, alt)


@pytest.mark.parametrize(
    "call,msg",
    [
        (lambda: m.t_test_1samp_np(a([1.0]), 0.0, "bad"), "t_test_1samp requires n >= 2"),
        (lambda: m.t_test_1samp_np(a([]), 0.0), "t_test_1samp requires n >= 2"),
        (lambda: m.t_test_1samp_np(a([np.nan]), 0.0, "bad"), NAN_MSG.format("x")),
        (lambda: m.t_test_2samp_np(a([1.0, 2.0]), a([1.0]), True, "bad"),
         "t_test_2samp requires n >= 2 for both samples"),
        (lambda: m.t_test_2samp_np(a([1.0]), a([INF]), True), NAN_MSG.format("y")),
        (lambda: m.t_test_2samp_np(a([1.0, -INF]), a([np.nan]), True), NAN_MSG.format("x")),
        (lambda: m.t_test_paired_np(a([1.0, np.nan, 3.0]), a([1.0, 2.0, 3.0, 4.0])),
         "x and y must have the same length"),
        (lambda: m.t_test_paired_np(a([np.nan]), a([1.0])), "t_test_paired requires n >= 2"),
        (lambda: m.t_test_paired_np(a([1.0, 2.0]), a([3.0, np.nan]), "bad"), NAN_MSG.format("y")),
        (lambda: m.t_test_paired_np(a([INF, 2.0]), a([INF, np.nan])), NAN_MSG.format("x")),
        (lambda: m.t_test_paired_np(a([1.0, 2.0, 3.0]), a([1.0, 2.0, 3.0]), "bad"), ALT_MSG),
    ],
)
def test_t_test_check_order(call, msg):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == msg


def test_nonfinite_anywhere_is_refused():
    base = np.linspace(0.0, 1.0, 50)
    for pos in (0, 25, 49):
        for bad in (np.nan, INF, -INF):
            x = base.copy()
            x[pos] = bad
            with pytest.raises(ValueError, match="^x contains"):
                m.t_test_1samp_np(x, 0.0)
            with pytest.raises(ValueError, match="^y contains"):
                m.t_test_2samp_np(base, x, False)
            with pytest.raises(ValueError, match="^y contains"):
                m.t_test_paired_np(base, x)
            with pytest.raises(ValueError, match="^y contains"):
                m.f_test_var_np(base, x)
            with pytest.raises(ValueError, match="^x contains"):
                m.var_ci_np(x)


@pytest.mark.parametrize(
    "call,msg",
    [
        (lambda: m.t_test_1samp_np(a([-1.3e154, 1.3e154]), 0.0), "variance is not finite: var=inf, mean=0.000000e0, n=2"),
        (lambda: m.t_test_1samp_np(a([1.7e308, -1.7e308, 1.7e308]), 0.0),
         "variance is not finite: var=NaN, mean=5.666667e307, n=3"),
        (lambda: m.t_test_2samp_np(a([1.7e308, -1.7e308]), a([1.0, 2.0]), True, "bad"),
         "variance is not finite: v1=NaN, v2=5.000000e-1"),
        (lambda: m.t_test_2samp_np(a([1.0, 2.0, 3.0, 4.0]), a([-1.3e154, 1.3e154]), False),
         "variance is not finite: v1=1.666667e0, v2=inf"),
    ],
)
def test_variance_not_finite_messages(call, msg):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == msg


def test_paired_overflow_is_a_result():
    r = m.t_test_paired_np(a([1.7e308, -1.7e308]), a([-1.7e308, 1.7e308]))
    assert math.isnan(r["statistic"]) and math.isnan(r["pvalue"])


# ------------------------------------------------ ANOVA, Levene, Bartlett

@pytest.mark.parametrize("seed,sizes", [(0, (2, 2)), (1, (5, 9, 4)), (2, (40, 31, 77)), (3, (300, 250, 3))])
def test_group_tests_agree_with_scipy(seed, sizes):
    rng = np.random.default_rng(seed)
    g = [rng.standard_normal(n) * (1 + i) + 0.1 * i for i, n in enumerate(sizes)]
    for ours, ref, df in [
        (m.f_test_oneway_np(g), st.f_oneway(*g), None),
        (m.levene_test_np(g), st.levene(*g, center="median"), None),
        (m.bartlett_test_np(g), st.bartlett(*g), len(g) - 1.0),
    ]:
        assert close(ours["statistic"], ref.statistic)
        assert close(ours["pvalue"], ref.pvalue, rel=1e-10, abs_=1e-14)
        if df is not None:
            assert ours["df"] == df
        else:
            assert (ours["df_between"], ours["df_within"]) == (len(g) - 1.0, sum(sizes) - len(g))


def test_levene_large_groups_agree_with_scipy():
    # Past the size where the median narrows by buckets; ties, a shifted
    # binade and negative zeros included.
    rng = np.random.default_rng(11)
    ties = rng.integers(-1, 2, 50_000) * 1.0
    zero = ties == 0
    ties[zero] = np.where(rng.random(zero.sum()) < 0.5, -0.0, 0.0)
    g = [
        rng.standard_normal(40_000),
        1.0 + rng.standard_normal(40_001) * 1e-9,
        ties,
        100.0 + rng.standard_normal(33_333),
    ]
    ours, ref = m.levene_test_np(g), st.levene(*g, center="median")
    assert close(ours["statistic"], ref.statistic, rel=1e-11)
    assert close(ours["pvalue"], ref.pvalue, rel=1e-9, abs_=1e-14)


def test_group_test_dicts():
    g = samples(9, 5, 6, 7)
    assert list(m.f_test_oneway_np(g)) == ["statistic", "pvalue", "df_between", "df_within"]
    assert list(m.levene_test_np(g)) == ["statistic", "pvalue", "df_between", "df_within"]
    assert list(m.bartlett_test_np(g)) == ["statistic", "pvalue", "df"]
    assert list(m.f_test_var_np(g[0], g[1])) == ["statistic", "pvalue", "df1", "df2"]
    assert list(m.var_ci_np(g[0])) == ["variance", "ci_lower", "ci_upper", "df", "std", "std_ci_lower", "std_ci_upper"]
    for d in (m.f_test_oneway_np(g), m.bartlett_test_np(g), m.var_ci_np(g[0])):
        assert all(type(v) is float for v in d.values())


def test_group_sequences():
    g = samples(10, 5, 6)
    assert m.f_test_oneway_np(tuple(g)) == m.f_test_oneway_np(g)
    with pytest.raises(TypeError, match="^argument 'groups': Can't extract `str` to `Vec`$"):
        m.levene_test_np("ab")
    with pytest.raises(TypeError, match="^argument 'groups': 'list' object cannot be converted"):
        m.bartlett_test_np([[1.0, 2.0], [3.0, 4.0]])


def test_anova_degenerate():
    one = a([1.0, 1.0])
    assert m.f_test_oneway_np([one, one]) == {"statistic": 0.0, "pvalue": 1.0, "df_between": 1.0, "df_within": 2.0}
    r = m.f_test_oneway_np([one, a([2.0, 2.0])])
    assert r["statistic"] == INF and r["pvalue"] == 0.0


def test_levene_degenerate():
    r = m.levene_test_np([a([1.0]), a([2.0, 3.0])])
    assert r["df_within"] == 1.0
    # every value at its group's median: MS_w = MS_b = 0
    r = m.levene_test_np([a([1.0, 1.0, 1.0]), a([5.0, 5.0])])
    assert r["statistic"] == 0.0 and r["pvalue"] == 1.0
    # MS_w = 0 but the groups' spreads differ
    r = m.levene_test_np([a([1.0, 2.0]), a([5.0, 5.0, 5.0])])
    assert r["statistic"] == INF and r["pvalue"] == 0.0


def test_overflowing_mean_squares_give_nan():
    huge = a([1.7e308, 1.7e308])
    r = m.f_test_oneway_np([huge, a([1.0, 2.0])])
    assert math.isnan(r["statistic"]) and math.isnan(r["pvalue"])
    r = m.levene_test_np([a([-1.7e308, 1.7e308]), a([1.0, 2.0]), a([3.0, 5.0])])
    assert math.isnan(r["statistic"]) and math.isnan(r["pvalue"])


def test_bartlett_tiny_negative_statistic_has_pvalue_one():
    x = a([-0.7037352358069926, -1.2654214710460525, -0.6232744625373522, 0.0413259793472436,
           -2.3250307746388343, -0.21879166393254573])
    r = m.bartlett_test_np([x, x + 3.0, -x, x + 0.5])
    assert -1e-13 < r["statistic"] < 0.0
    assert r["pvalue"] == 1.0 and r["df"] == 3.0


GROUP_ERRORS = [
    (m.f_test_oneway_np, "f_test_oneway requires at least 2 groups", "each group must have at least 2 observations"),
    (m.levene_test_np, "levene_test requires at least 2 groups", "each group must be non-empty"),
    (m.bartlett_test_np, "bartlett_test requires at least 2 groups", "each group must have at least 2 observations"),
]


@pytest.mark.parametrize("fn,few_groups,small", GROUP_ERRORS)
def test_group_check_order(fn, few_groups, small):
    good = a([1.0, 2.0, 4.0])
    tiny = a([]) if fn is m.levene_test_np else a([1.0])
    strided = np.arange(10.0)[::2]
    nan = a([1.0, np.nan, 2.0])

    def err(groups, kind=ValueError):
        with pytest.raises(kind) as e:
            fn(groups)
        return str(e.value)

    assert err([]) == few_groups
    assert err([nan]) == few_groups
    assert err([good, tiny, nan]) == small
    assert err([good, nan, tiny]) == NAN_MSG.format("group")
    assert err([good, a([INF, 1.0])]) == NAN_MSG.format("group")
    assert err([good, strided, nan], TypeError) == "The given array is not contiguous"
    # an earlier group's ValueError wins over a later group's TypeError
    assert err([good, nan, strided]) == NAN_MSG.format("group")
    assert err([tiny, strided]) == small


def test_levene_insufficient_degrees_of_freedom():
    with pytest.raises(ValueError, match="^insufficient degrees of freedom$"):
        m.levene_test_np([a([1.0]), a([2.0])])


def test_bartlett_variance_checks():
    const = a([3.0, 3.0, 3.0])
    good = a([1.0, 2.0, 4.0])
    for groups in ([good, const, a([np.nan, 1.0])], [const, np.arange(10.0)[::2]], [good, const]):
        with pytest.raises(ValueError, match="^all group variances must be positive$"):
            m.bartlett_test_np(groups)


# ----------------------------------------------------- F test, variance CI

def test_f_test_var_larger_variance_on_top():
    x = a([0.0, 2.0, 4.0])          # variance 4
    y = a([0.0, 1.0, 2.0, 1.0, 1.0])  # variance 0.5
    r, s = m.f_test_var_np(x, y), m.f_test_var_np(y, x)
    assert r["statistic"] == s["statistic"] == 8.0 and r["pvalue"] == s["pvalue"]
    assert (r["df1"], r["df2"]) == (2.0, 4.0) and (s["df1"], s["df2"]) == (2.0, 4.0)
    assert close(r["pvalue"], 2 * st.f.sf(8.0, 2, 4), rel=1e-10)
    x2, y2 = samples(12, 15, 25)
    for p, q in ((x2, y2), (y2, x2)):
        r = m.f_test_var_np(p, q)
        vp, vq = np.var(p, ddof=1), np.var(q, ddof=1)
        big, small = (p, q) if vp >= vq else (q, p)
        assert close(r["statistic"], max(vp, vq) / min(vp, vq))
        assert (r["df1"], r["df2"]) == (len(big) - 1.0, len(small) - 1.0)
        assert close(r["pvalue"], min(1.0, 2 * st.f.sf(r["statistic"], len(big) - 1, len(small) - 1)), rel=1e-10)


def test_f_test_var_equal_variances_pvalue_clamped():
    x = a([1.0, 2.0, 3.0])
    assert m.f_test_var_np(x, x + 10.0) == {"statistic": 1.0, "pvalue": 1.0, "df1": 2.0, "df2": 2.0}


@pytest.mark.parametrize(
    "args,msg",
    [
        ((a([1.0]), a([np.nan, 1.0])), "f_test_var requires n >= 2 for both samples"),
        ((a([np.nan, 1.0]), a([INF, 1.0])), NAN_MSG.format("x")),
        ((a([1.0, 1.0]), a([np.nan, 1.0])), NAN_MSG.format("y")),
        ((a([1.0, 2.0]), a([5.0, 5.0])), "variances must be positive"),
    ],
)
def test_f_test_var_errors(args, msg):
    with pytest.raises(ValueError) as e:
        m.f_test_var_np(*args)
    assert str(e.value) == msg


@pytest.mark.parametrize("conf", [0.95, 0.5, 0.999])
def test_var_ci_values(conf):
    x = samples(13, 25, 2)[0]
    r = m.var_ci_np(x, conf)
    s2 = np.var(x, ddof=1)
    lo, hi = st.chi2.ppf([(1 - conf) / 2, 1 - (1 - conf) / 2], len(x) - 1)
    assert close(r["variance"], s2, rel=1e-14)
    assert close(r["ci_lower"], s2 * 24 / hi, rel=1e-12)
    assert close(r["ci_upper"], s2 * 24 / lo, rel=1e-12)
    assert r["df"] == 24.0 and same(r["std"], math.sqrt(r["variance"]))
    assert same(r["std_ci_lower"], math.sqrt(r["ci_lower"])) and same(r["std_ci_upper"], math.sqrt(r["ci_upper"]))
    assert m.var_ci_np(x) == m.var_ci_np(x, 0.95)


@pytest.mark.parametrize(
    "args,msg",
    [
        ((a([1.0]), 2.0), "var_ci requires n >= 2"),
        ((a([1.0, 2.0]), 1.0), "confidence must be in (0, 1)"),
        ((a([1.0, 2.0]), 0.0), "confidence must be in (0, 1)"),
        ((a([np.nan, 2.0]), math.nan), "confidence must be in (0, 1)"),
        ((a([np.nan, 2.0]), 0.9), NAN_MSG.format("x")),
        ((a([2.0, 2.0]), 0.9), "sample variance is zero"),
    ],
)
def test_var_ci_errors(args, msg):
    with pytest.raises(ValueError) as e:
        m.var_ci_np(*args)
    assert str(e.value) == msg


# ----------------------------------------------------------- the surface

SIGNATURES = {
    "t_test_1samp_np": '(x, popmean, alternative="two-sided")',
    "t_test_2samp_np": '(x, y, equal_var, alternative="two-sided")',
    "t_test_paired_np": '(x, y, alternative="two-sided")',
    "f_test_oneway_np": "(groups)",
    "levene_test_np": "(groups)",
    "bartlett_test_np": "(groups)",
    "f_test_var_np": "(x, y)",
    "var_ci_np": "(x, confidence=0.95)",
}

FIRST_LINES = {
    "t_test_1samp_np": "One-sample t-test vs `popmean`.",
    "f_test_oneway_np": "One-way ANOVA F-test.",
    "levene_test_np": "Levene's test for equality of variances.",
    "bartlett_test_np": "Bartlett's test for equality of variances across multiple groups.",
    "f_test_var_np": "F-test for equality of two variances.",
    "var_ci_np": "Confidence interval for the population variance using the chi-square method.",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures_and_docs(name):
    f = getattr(m, name)
    assert str(inspect.signature(f)) == SIGNATURES[name].replace('"', "'")
    assert f.__doc__
    if name in FIRST_LINES:
        assert f.__doc__.splitlines()[0] == FIRST_LINES[name]


def test_equal_var_is_required_and_strict():
    x, y = samples(14, 4, 4)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'equal_var'"):
        m.t_test_2samp_np(x, y)
    with pytest.raises(TypeError, match="^argument 'equal_var': 'int' object cannot be converted to 'PyBool'$"):
        m.t_test_2samp_np(x, y, 1)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.t_test_2samp_np(x, np.arange(8.0)[::2], True, "bad")


def test_inputs_unchanged():
    rng = np.random.default_rng(15)
    g = [rng.standard_normal(n) for n in (7, 40_000, 9)]
    keep = [v.copy() for v in g]
    m.levene_test_np(g)
    m.f_test_oneway_np(g)
    m.bartlett_test_np(g)
    m.t_test_paired_np(g[0], g[0][::-1].copy())
    m.var_ci_np(g[1])
    assert all(np.array_equal(u, v) for u, v in zip(g, keep))
