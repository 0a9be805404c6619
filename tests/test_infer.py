import inspect
import math

import numpy as np
import pytest
import scipy.stats as st

from reference import kahan_ss, loop_sum, raises, same, unit_mismatches
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


# ------------------------------------------------ data far from 1

# Sums of squares of such data over- or underflow unless the data are read in
# their power-of-two unit; read so, every statistic is that of the unscaled
# data and every mean or variance that of the unscaled data, scaled.
G3 = [np.random.default_rng(i).standard_normal(20) + 0.3 * i for i in range(3)]
FAR = [-1000, -540, 510, 1000]


def _f_test_var_ref(x, y):
    vx, vy = np.var(x, ddof=1), np.var(y, ddof=1)
    f, d1, d2 = (vx / vy, len(x) - 1, len(y) - 1) if vx >= vy else (vy / vx, len(y) - 1, len(x) - 1)
    return {"statistic": f, "pvalue": min(1.0, 2.0 * st.f.sf(f, d1, d2))}


def _var_ci_ref(x, conf):
    s2, df = np.var(x, ddof=1), len(x) - 1.0
    lo, hi = st.chi2.ppf([(1 - conf) / 2, (1 + conf) / 2], df)
    return {"variance": s2, "ci_lower": s2 * df / hi, "ci_upper": s2 * df / lo}


def _test_ref(r):
    return {"statistic": r.statistic, "pvalue": r.pvalue}


def _sc(groups, k):
    return [np.ldexp(g, k) for g in groups]


VAR_POWERS = {"variance": 2, "ci_lower": 2, "ci_upper": 2, "std": 1, "std_ci_lower": 1, "std_ci_upper": 1}
# name: (our call on the data scaled by 2^k, the peer on the unscaled data,
# the power of the data's unit each output carries, relative tolerance)
FAR_CASES = {
    "t_test_1samp_np": (lambda k: m.t_test_1samp_np(np.ldexp(G3[2], k), math.ldexp(0.1, k)),
                        lambda: _test_ref(st.ttest_1samp(G3[2], 0.1)), {"mean": 1}, 0.0),
    "t_test_2samp_np": (lambda k: m.t_test_2samp_np(*_sc(G3[:2], k), True),
                        lambda: _test_ref(st.ttest_ind(G3[0], G3[1])), {"mean_x": 1, "mean_y": 1}, 0.0),
    "welch": (lambda k: m.t_test_2samp_np(*_sc([G3[0], 3.0 * G3[2]], k), False),
              lambda: _test_ref(st.ttest_ind(G3[0], 3.0 * G3[2], equal_var=False)), {"mean_x": 1, "mean_y": 1}, 0.0),
    "t_test_paired_np": (lambda k: m.t_test_paired_np(*_sc(G3[:2], k)),
                         lambda: _test_ref(st.ttest_rel(G3[0], G3[1])), {"mean": 1}, 0.0),
    "f_test_oneway_np": (lambda k: m.f_test_oneway_np(_sc(G3, k)), lambda: _test_ref(st.f_oneway(*G3)), {}, 0.0),
    "levene_test_np": (lambda k: m.levene_test_np(_sc(G3, k)),
                       lambda: _test_ref(st.levene(*G3, center="median")), {}, 0.0),
    # logarithms of the variances in another unit agree only to rounding
    "bartlett_test_np": (lambda k: m.bartlett_test_np(_sc(G3, k)), lambda: _test_ref(st.bartlett(*G3)), {}, 1e-9),
    "f_test_var_np": (lambda k: m.f_test_var_np(*_sc([G3[0], 2.0 * G3[1]], k)),
                      lambda: _f_test_var_ref(G3[0], 2.0 * G3[1]), {}, 0.0),
    "var_ci_np": (lambda k: m.var_ci_np(np.ldexp(G3[1], k), 0.9), lambda: _var_ci_ref(G3[1], 0.9), VAR_POWERS, 0.0),
}


@pytest.mark.parametrize("k", FAR)
@pytest.mark.parametrize("name", FAR_CASES)
def test_data_far_from_one_answer_as_unscaled(name, k):
    ours, peer, powers, rel = FAR_CASES[name]
    base = ours(0)
    assert not unit_mismatches(ours(k), base, k, powers, rel)
    for key, want in peer().items():
        assert close(base[key], want, rel=1e-9, abs_=1e-14), key


def test_far_groups_reproducers():
    # Groups scaled by 2^-540 once gave statistic 0.0 and pvalue 1 (their
    # sums of squares vanished); the unscaled statistics are about 4.43 and 0.85.
    for fn, ref in ((m.f_test_oneway_np, st.f_oneway(*G3)), (m.levene_test_np, st.levene(*G3, center="median"))):
        r = fn(_sc(G3, -540))
        assert r == fn(G3) and close(r["statistic"], ref.statistic, rel=1e-12)
    assert close(m.f_test_oneway_np(G3)["statistic"], 4.43, rel=1e-3)
    assert close(m.levene_test_np(G3)["statistic"], 0.85, rel=1e-2)


def _ttest_peer(fn):
    if fn is m.t_test_1samp_np:
        return lambda x, popmean: st.ttest_1samp(x, popmean)
    if fn is m.t_test_paired_np:
        return st.ttest_rel
    return lambda x, y, equal_var, *_: st.ttest_ind(x, y, equal_var=equal_var)


BIG = a([-1.3e154, 1.3e154])
NEAR_MAX = [
    (m.t_test_1samp_np, [BIG], (0.0,)),
    (m.t_test_1samp_np, [a([1.7e308, -1.7e308, 1.7e308])], (0.0,)),
    (m.t_test_1samp_np, [a([1.3e154, -1.3e154, 0.75])], (0.0,)),
    (m.t_test_1samp_np, [a([-1.3e154, 1.3e154, -3.0])], (0.0,)),
    (m.t_test_1samp_np, [a([1e300, -1e300, 3e300])], (0.0,)),
    (m.t_test_1samp_np, [a([-1.7e308] * 3)], (0.0,)),  # constant: the sum overflows, the mean does not
    (m.t_test_2samp_np, [a([1.7e308, -1.7e308]), a([1.0, 2.0])], (True,)),
    (m.t_test_2samp_np, [a([1.0, 2.0, 3.0, 4.0]), BIG], (False,)),
    (m.t_test_2samp_np, [a([0.0, 0.5, 1.0]), BIG], (True,)),
    (m.t_test_2samp_np, [BIG, a([0.0, 1234.5 * 2.0 ** 0.5])], (False,)),
    (m.t_test_paired_np, [a([1.7e308, -1.7e308]), a([-1.7e308, 1.7e308])], ()),
]


@pytest.mark.parametrize("fn,xs,rest", NEAR_MAX)
def test_values_near_the_largest_doubles_are_read_in_their_unit(fn, xs, rest):
    # Their squares overflow, so the variances they would show are not
    # finite; read in their unit they answer as the same data scaled down.
    got = fn(*xs, *rest)
    down = [np.ldexp(x, -1000) for x in xs]
    base = fn(*down, *rest)
    assert not unit_mismatches(got, base, 1000, {"mean": 1, "mean_x": 1, "mean_y": 1})
    if len(set(xs[0].tolist())) == 1:  # a constant sample off its hypothesised mean
        assert base["statistic"] == -INF and base["pvalue"] == 0.0
    else:
        ref = _ttest_peer(fn)(*down, *rest)
        assert close(base["statistic"], ref.statistic, rel=1e-12) and close(base["pvalue"], ref.pvalue, rel=1e-9)
    assert all(math.isfinite(v) for key, v in got.items() if key.startswith("mean"))


def test_near_max_groups_read_in_their_unit():
    # Within every group the deviations are equal (MS_w = 0) while the groups
    # differ: F and W are +inf, as for the same groups scaled down.
    for fn, groups in ((m.f_test_oneway_np, [a([1.7e308, 1.7e308]), a([1.0, 2.0])]),
                       (m.levene_test_np, [a([-1.7e308, 1.7e308]), a([1.0, 2.0]), a([3.0, 5.0])])):
        r = fn(groups)
        assert (r["statistic"], r["pvalue"]) == (INF, 0.0)
        assert r == fn([np.ldexp(g, -1000) for g in groups])


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


# ================= t tests, ANOVA, variance tests: arithmetic, messages, groups

NAN = math.nan


# ------------------------------------------------- reference arithmetic

def mean_var(x):
    n = len(x)
    mean = loop_sum(x) / n
    return mean, kahan_ss(x, mean) / (n - 1)


def form_p(alt, cdf):
    if alt == "less":
        p = cdf
    elif alt == "greater":
        p = 1.0 - cdf
    else:
        p = 2.0 * (cdf if cdf < 0.5 else 1.0 - cdf)
    return min(max(p, 0.0), 1.0)


def oneway_ref(groups):
    k = len(groups)
    sizes = [len(g) for g in groups]
    sums = [loop_sum(g) for g in groups]
    total = sum(sizes)
    grand = 0.0
    for s in sums:
        grand += s
    g = grand / total
    means = [s / n for s, n in zip(sums, sizes)]
    ss_b = 0.0
    for mi, n in zip(means, sizes):
        d = mi - g
        ss_b += n * (d * d)
    ss_w = 0.0
    for grp, mi in zip(groups, means):
        ss_w += kahan_ss(grp, mi)
    return ss_b / (k - 1), ss_w / (total - k), k - 1.0, float(total - k)


def median_ref(x):
    s = sorted(float(v) for v in x)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) * 0.5


# ------------------------------------------------------------ t tests

def data(seed, *sizes):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal(n) * (1.0 + 0.7 * i) + 0.3 * i for i, n in enumerate(sizes)]


@pytest.mark.parametrize("seed,n", [(1, 2), (2, 7), (3, 64), (4, 1001)])
@pytest.mark.parametrize("alt", ["two-sided", "less", "greater"])
def test_one_sample_exact(seed, n, alt):
    (x,) = data(seed, n)
    mean, var = mean_var(x)
    t = (mean - 0.1) / math.sqrt(var / n)
    r = m.t_test_1samp_np(x, 0.1, alternative=alt)
    assert same(r["statistic"], t) and same(r["mean"], mean) and r["df"] == n - 1.0
    assert r["pvalue"] == pytest.approx(form_p(alt, st.t.cdf(t, n - 1)), rel=1e-10, abs=1e-15)


@pytest.mark.parametrize("seed,n1,n2", [(5, 2, 2), (6, 3, 11), (7, 40, 17), (8, 500, 333)])
def test_two_sample_exact(seed, n1, n2):
    x, y = data(seed, n1, n2)
    mx, v1 = mean_var(x)
    my, v2 = mean_var(y)
    se2 = (1.0 / n1 + 1.0 / n2) * ((v1 * (n1 - 1.0) + v2 * (n2 - 1.0)) / (n1 + n2 - 2.0))
    r = m.t_test_2samp_np(x, y, True)
    assert same(r["statistic"], (mx - my) / math.sqrt(se2)) and r["df"] == n1 + n2 - 2.0
    assert same(r["mean_x"], mx) and same(r["mean_y"], my)
    se2 = v1 / n1 + v2 / n2
    aa = v1 * v1 / (n1 * n1 * (n1 - 1.0))
    bb = v2 * v2 / (n2 * n2 * (n2 - 1.0))
    df = min(max(se2 * se2 / (aa + bb), 1.0), n1 + n2 - 2.0)
    r = m.t_test_2samp_np(x, y, False, "greater")
    t = (mx - my) / math.sqrt(se2)
    assert same(r["statistic"], t) and same(r["df"], df)
    assert r["pvalue"] == pytest.approx(form_p("greater", st.t.cdf(t, df)), rel=1e-10, abs=1e-15)


def test_paired_exact():
    x, y = data(9, 37, 37)
    d = x - y
    n = len(d)
    mean_d = loop_sum(d) / n
    t = mean_d / math.sqrt(kahan_ss(d, mean_d) / (n - 1) / n)
    r = m.t_test_paired_np(x, y, "less")
    assert same(r["statistic"], t) and same(r["mean"], mean_d) and r["df"] == 36.0
    assert r["pvalue"] == pytest.approx(st.t.cdf(t, 36), rel=1e-10)


def test_zero_standard_error_rules():
    c = a([5.0, 5.0, 5.0])
    below = math.nextafter(5.0, 0.0)
    # one-sample and paired: only an exact zero difference gives 0
    assert m.t_test_1samp_np(c, below)["statistic"] == INF
    assert m.t_test_1samp_np(c, math.nextafter(5.0, 9.0))["statistic"] == -INF
    assert m.t_test_paired_np(a([1e-16, 1e-16]), a([0.0, 0.0]))["statistic"] == INF
    assert m.t_test_paired_np(a([0.0, 0.0]), a([1e-16, 1e-16]), "greater") == {
        "statistic": -INF, "pvalue": 1.0, "df": 1.0, "mean": -1e-16}
    # two-sample: a difference below 1e-15 counts as none
    z = a([0.0, 0.0])
    for eq in (True, False):
        assert m.t_test_2samp_np(a([9e-16, 9e-16]), z, eq)["statistic"] == 0.0
        assert m.t_test_2samp_np(z, a([9e-16, 9e-16]), eq)["pvalue"] == 1.0
        assert m.t_test_2samp_np(a([1e-15, 1e-15]), z, eq)["statistic"] == INF
        r = m.t_test_2samp_np(z, a([1e-15, 1e-15, 1e-15]), eq, "less")
        assert r["statistic"] == -INF and r["pvalue"] == 0.0
        assert r["df"] == 3.0


@pytest.mark.parametrize("alt", ["two-sided", "two_sided", "less", "greater"])
def test_non_finite_statistics_take_the_distribution(alt):
    pos = {"two-sided": 0.0, "two_sided": 0.0, "less": 1.0, "greater": 0.0}[alt]
    neg = {"two-sided": 0.0, "two_sided": 0.0, "less": 0.0, "greater": 1.0}[alt]
    x = a([1.0, 2.0, 4.0])
    r = m.t_test_1samp_np(x, INF, alt)
    assert r["statistic"] == -INF and r["pvalue"] == neg
    r = m.t_test_1samp_np(x, -INF, alt)
    assert r["statistic"] == INF and r["pvalue"] == pos
    r = m.t_test_paired_np(a([3.0, 3.0, 3.0]), a([1.0, 1.0, 1.0]), alt)
    assert r["statistic"] == INF and r["pvalue"] == pos
    for popmean in (NAN, INF):
        r = m.t_test_1samp_np(a([2.0, 2.0]), popmean - INF, alt)  # NaN difference, zero error
        assert math.isnan(r["statistic"]) and math.isnan(r["pvalue"])


def test_alternative_spelling_variants():
    x, y = data(10, 9, 12)
    assert m.t_test_1samp_np(x, 0.0, "two_sided") == m.t_test_1samp_np(x, 0.0, "two-sided")
    assert m.t_test_paired_np(x, y[:9], "two_sided") == m.t_test_paired_np(x, y[:9])
    for bad in ("Less", "GREATER", "twosided", "two sided", "less\x00", "greater\t", "two-sided\n"):
        assert raises(ValueError, m.t_test_1samp_np, x, 0.0, bad) == ALT_MSG
    assert raises(TypeError, m.t_test_1samp_np, x, 0.0, b"less").startswith("argument 'alternative': ")


def test_alternative_parsed_after_data_checks():
    assert raises(ValueError, m.t_test_1samp_np, a([1.0, NAN]), 0.0, "bad") == NAN_MSG.format("x")
    assert raises(ValueError, m.t_test_2samp_np, a([1.0, 2.0]), a([NAN]), False, "bad") == NAN_MSG.format("y")
    assert raises(ValueError, m.t_test_2samp_np, a([]), a([]), False, "bad") == (
        "t_test_2samp requires n >= 2 for both samples")
    assert raises(ValueError, m.t_test_paired_np, a([1.0]), a([1.0, 2.0]), "bad") == "x and y must have the same length"
    assert raises(ValueError, m.t_test_paired_np, a([]), a([]), "bad") == "t_test_paired requires n >= 2"
    assert raises(ValueError, m.t_test_paired_np, a([NAN, 1.0]), a([NAN, 1.0]), "bad") == NAN_MSG.format("x")
    # the NaN scan of x is whole before y's
    assert raises(ValueError, m.t_test_2samp_np, a([1.0, 2.0, INF]), a([NAN, 1.0]), True) == NAN_MSG.format("x")
    assert raises(ValueError, m.t_test_paired_np, a([1.0, 2.0, -INF]), a([NAN, 1.0, 2.0])) == NAN_MSG.format("x")


def test_t_test_argument_kinds():
    x, y = data(11, 6, 6)
    assert m.t_test_1samp_np(x, 1) == m.t_test_1samp_np(x, 1.0)
    assert m.t_test_1samp_np(x, np.float32(0.5)) == m.t_test_1samp_np(x, 0.5)
    assert raises(TypeError, m.t_test_1samp_np, x, "0").startswith("argument 'popmean': ")
    r = m.t_test_2samp_np(x, y, np.True_)
    assert r["equal_var"] is True and r == m.t_test_2samp_np(x, y, True)
    assert m.t_test_2samp_np(x, y, equal_var=np.False_)["equal_var"] is False
    assert raises(TypeError, m.t_test_2samp_np, x, y, None).startswith("argument 'equal_var': ")
    # a strided sample is refused before any value check
    assert raises(TypeError, m.t_test_1samp_np, np.arange(6.0)[::2], 0.0, "bad") == "The given array is not contiguous"
    assert raises(TypeError, m.t_test_paired_np, a([1.0]), np.arange(6.0)[::2]) == "The given array is not contiguous"


# ----------------------------------------------- ANOVA, Levene, Bartlett

GROUP_SETS = [
    [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]],
    [[1.0, 2.0, 3.0, 10.0], [2.0, 2.5], [0.5, 7.0, -3.0, 1.0, 1.25]],
    [list(v) for v in data(12, 3, 50, 8, 201)],
]


@pytest.mark.parametrize("groups", GROUP_SETS)
def test_oneway_exact(groups):
    ms_b, ms_w, df_b, df_w = oneway_ref(groups)
    r = m.f_test_oneway_np([a(g) for g in groups])
    f = ms_b / ms_w
    assert same(r["statistic"], f)
    assert (r["df_between"], r["df_within"]) == (df_b, df_w)
    assert r["pvalue"] == pytest.approx(st.f.sf(f, df_b, df_w), rel=1e-10, abs=1e-15)


def test_oneway_hand_value():
    r = m.f_test_oneway_np([a([1.0, 2.0, 3.0]), a([4.0, 5.0, 6.0])])
    assert r["statistic"] == 13.5 and (r["df_between"], r["df_within"]) == (1.0, 4.0)
    assert r["pvalue"] == pytest.approx(st.f.sf(13.5, 1, 4), rel=1e-12)


@pytest.mark.parametrize("groups", GROUP_SETS)
def test_levene_exact(groups):
    devs = []
    for g in groups:
        med = median_ref(g)
        devs.append([abs(v - med) for v in g])
    ms_b, ms_w, df_b, df_w = oneway_ref(devs)
    w = ms_b / ms_w
    r = m.levene_test_np([a(g) for g in groups])
    assert same(r["statistic"], w)
    assert list(r) == ["statistic", "pvalue", "df_between", "df_within"]
    assert (r["df_between"], r["df_within"]) == (df_b, df_w)
    assert r["pvalue"] == pytest.approx(st.f.sf(w, df_b, df_w), rel=1e-10, abs=1e-15)


def test_levene_single_value_groups():
    # N - k = 1: the lone value's deviation is 0 and the pair's are equal, so
    # MS_w = 0 while MS_b > 0
    r = m.levene_test_np([a([1.0]), a([2.0, 3.0])])
    assert r == {"statistic": INF, "pvalue": 0.0, "df_between": 1.0, "df_within": 1.0}
    r = m.levene_test_np([a([7.0]), a([2.0, 3.0, 9.0])])
    devs = [[0.0], [1.0, 0.0, 6.0]]
    ms_b, ms_w, _, _ = oneway_ref(devs)
    assert same(r["statistic"], ms_b / ms_w) and r["df_within"] == 2.0
    assert raises(ValueError, m.levene_test_np, [a([1.0]), a([2.0]), a([3.0])]) == "insufficient degrees of freedom"


def test_levene_even_group_median():
    # even count: the mean of the two middle values of the sorted group
    g = [a([4.0, 1.0, 3.0, 2.0]), a([10.0, -10.0, 0.5])]
    devs = [[1.5, 1.5, 0.5, 0.5], [9.5, 10.5, 0.0]]
    ms_b, ms_w, _, _ = oneway_ref(devs)
    assert same(m.levene_test_np(g)["statistic"], ms_b / ms_w)


@pytest.mark.parametrize("groups", GROUP_SETS)
def test_bartlett_exact(groups):
    k = len(groups)
    total = sum(len(g) for g in groups)
    pooled = logs = inv = 0.0
    for g in groups:
        n = len(g)
        _, s2 = mean_var(g)
        pooled += (n - 1.0) * s2
        logs += (n - 1.0) * math.log(s2)
        inv += 1.0 / (n - 1.0)
    sp2 = pooled / (total - k)
    q = 1.0 + (inv - 1.0 / (total - k)) / (3.0 * (k - 1.0))
    t = ((total - k) * math.log(sp2) - logs) / q
    r = m.bartlett_test_np([a(g) for g in groups])
    assert same(r["statistic"], t) and r["df"] == k - 1.0
    assert r["pvalue"] == pytest.approx(st.chi2.sf(t, k - 1), rel=1e-10, abs=1e-15)


def test_group_sequence_kinds():
    rows = np.arange(12.0).reshape(3, 4) ** 1.5
    listed = [rows[0].copy(), rows[1].copy(), rows[2].copy()]
    for fn in (m.f_test_oneway_np, m.levene_test_np, m.bartlett_test_np):
        assert fn(rows) == fn(listed) == fn(tuple(listed))  # a 2-D array is a sequence of rows
        assert raises(TypeError, fn, rows.T.copy()[:, :2].T) == "The given array is not contiguous"
        assert raises(TypeError, fn, iter(listed)) == "argument 'groups': 'list_iterator' object cannot be converted to 'Sequence'"
        assert raises(TypeError, fn, {0: listed[0]}) == "argument 'groups': 'dict' object cannot be converted to 'Sequence'"
        assert raises(TypeError, fn, None) == "argument 'groups': 'NoneType' object cannot be converted to 'Sequence'"
        assert raises(TypeError, fn, "groups") == "argument 'groups': Can't extract `str` to `Vec`"
        # every item is converted before any group is looked at
        assert raises(TypeError, fn, [a([1.0]), [1.0, 2.0]]) == (
            "argument 'groups': 'list' object cannot be converted to 'PyArray<T, D>'")
        assert raises(TypeError, fn, [a([NAN, 1.0]), np.arange(3)]).startswith("argument 'groups': ")
        assert raises(TypeError, fn, [listed[0], rows]).startswith("argument 'groups': ")
        assert raises(TypeError, fn, listed[0]).startswith("argument 'groups': ")
        # the same array twice is fine
        assert fn([listed[1], listed[1]])["statistic"] == fn([listed[1], listed[1].copy()])["statistic"]


@pytest.mark.parametrize("fn,name", [(m.f_test_oneway_np, "f_test_oneway"), (m.levene_test_np, "levene_test"),
                                     (m.bartlett_test_np, "bartlett_test")])
def test_group_count_checked_before_groups(fn, name):
    msg = f"{name} requires at least 2 groups"
    assert raises(ValueError, fn, ()) == msg
    assert raises(ValueError, fn, [np.arange(9.0)[::3]]) == msg
    assert raises(ValueError, fn, np.empty((0, 3))) == msg
    assert raises(ValueError, fn, np.ones((1, 3))) == msg


def test_group_walk_order():
    good = a([1.0, 2.0, 4.0])
    strided = np.arange(10.0)[::2]
    # a non-contiguous group is refused only when the walk reaches it
    for fn in (m.f_test_oneway_np, m.bartlett_test_np):
        assert raises(TypeError, fn, [good, strided, a([1.0])]) == "The given array is not contiguous"
        assert raises(ValueError, fn, [good, a([1.0]), strided]) == "each group must have at least 2 observations"
        assert raises(ValueError, fn, [a([NAN]), a([1.0, NAN])]) == "each group must have at least 2 observations"
        assert raises(ValueError, fn, [a([1.0, NAN]), a([1.0])]) == NAN_MSG.format("group")
    assert raises(TypeError, m.levene_test_np, [good, strided, a([])]) == "The given array is not contiguous"
    assert raises(ValueError, m.levene_test_np, [a([NAN]), a([])]) == NAN_MSG.format("group")
    assert raises(ValueError, m.levene_test_np, [a([]), a([NAN])]) == "each group must be non-empty"
    assert raises(ValueError, m.levene_test_np, [a([1.0]), a([-INF]), strided]) == NAN_MSG.format("group")
    # one-value groups pass the walk and then fail on the degrees of freedom
    assert raises(ValueError, m.levene_test_np, [a([1.0]), a([1.0])]) == "insufficient degrees of freedom"


def test_bartlett_checks():
    good = a([1.0, 2.0, 4.0])
    const = a([2.0, 2.0])
    strided = np.arange(10.0)[::2]
    msg = "all group variances must be positive"
    assert raises(ValueError, m.bartlett_test_np, [const, a([NAN, 1.0])]) == msg
    assert raises(ValueError, m.bartlett_test_np, [const, a([1.0])]) == msg
    assert raises(ValueError, m.bartlett_test_np, [good, const, strided]) == msg
    assert raises(ValueError, m.bartlett_test_np, [good, a([1.0, NAN]), const]) == NAN_MSG.format("group")
    assert raises(TypeError, m.bartlett_test_np, [good, strided, const]) == "The given array is not contiguous"
    # the tiniest positive variances still pass: the pooled variance stays positive
    tiny = a([0.0, 2.0 ** -536])
    r = m.bartlett_test_np([tiny, tiny])
    assert r["statistic"] == 0.0 and r["pvalue"] == 1.0


def test_group_degenerate_values():
    one, two = a([1.0, 1.0]), a([2.0, 2.0])
    assert m.f_test_oneway_np([one, one, one]) == {"statistic": 0.0, "pvalue": 1.0, "df_between": 2.0, "df_within": 3.0}
    assert m.f_test_oneway_np([two, one]) == {"statistic": INF, "pvalue": 0.0, "df_between": 1.0, "df_within": 2.0}
    assert m.levene_test_np([a([1.0, 2.0, 3.0]), a([1.0, 2.0, 3.0]) * 5.0])["pvalue"] < 1.0
    r = m.levene_test_np([a([3.0]), a([1.0, 1.0, 1.0]), a([2.0])])
    assert r == {"statistic": 0.0, "pvalue": 1.0, "df_between": 2.0, "df_within": 2.0}


# ----------------------------------------------------- F test, variance CI

def test_f_test_var_exact():
    x, y = data(13, 12, 30)
    _, vx = mean_var(x)
    _, vy = mean_var(y)
    assert vy > vx
    r = m.f_test_var_np(x, y)
    assert same(r["statistic"], vy / vx) and (r["df1"], r["df2"]) == (29.0, 11.0)
    assert r["pvalue"] == pytest.approx(min(1.0, 2.0 * st.f.sf(vy / vx, 29, 11)), rel=1e-10)
    # equal variances: F = 1 and the doubled tail is clamped to 1
    s = m.f_test_var_np(y, y * -1.0 + 3.0)
    assert s["statistic"] == 1.0 and s["pvalue"] == 1.0


def test_f_test_var_swapped_samples():
    x = a([1.0, 3.0, 5.0])          # variance 4
    y = a([0.0, 1.0, 2.0, 1.0, 1.0])  # variance 0.5... scaled to 1 below
    y = y * math.sqrt(2.0)
    r, s = m.f_test_var_np(x, y), m.f_test_var_np(y, x)
    assert r["statistic"] == s["statistic"] and r["pvalue"] == s["pvalue"]
    assert (r["df1"], r["df2"]) == (s["df1"], s["df2"]) == (2.0, 4.0)


def test_f_test_var_check_order():
    assert raises(ValueError, m.f_test_var_np, a([NAN, 1.0]), a([])) == "f_test_var requires n >= 2 for both samples"
    assert raises(ValueError, m.f_test_var_np, a([1.0, 1.0]), a([1.0, NAN])) == NAN_MSG.format("y")
    assert raises(ValueError, m.f_test_var_np, a([1.0, 2.0]), a([3.0, 3.0])) == "variances must be positive"
    assert raises(ValueError, m.f_test_var_np, a([3.0, 3.0]), a([1.0, 2.0])) == "variances must be positive"


def test_var_ci_exact():
    (x,) = data(14, 40)
    _, s2 = mean_var(x)
    r = m.var_ci_np(x, confidence=0.9)
    assert same(r["variance"], s2) and r["df"] == 39.0 and same(r["std"], math.sqrt(s2))
    lo, hi = st.chi2.ppf(0.05, 39), st.chi2.ppf(0.95, 39)
    assert r["ci_lower"] == pytest.approx(s2 * 39.0 / hi, rel=1e-12)
    assert r["ci_upper"] == pytest.approx(s2 * 39.0 / lo, rel=1e-12)
    assert same(r["std_ci_lower"], math.sqrt(r["ci_lower"])) and same(r["std_ci_upper"], math.sqrt(r["ci_upper"]))
    assert r["ci_lower"] < r["variance"] < r["ci_upper"]


@pytest.mark.parametrize("conf", [1.0, 0.0, -0.5, 1.5, INF, -INF, NAN])
def test_var_ci_confidence_range(conf):
    assert raises(ValueError, m.var_ci_np, a([1.0, 2.0]), conf) == "confidence must be in (0, 1)"
    assert raises(ValueError, m.var_ci_np, a([NAN]), conf) == "var_ci requires n >= 2"


def test_var_ci_checks():
    assert raises(ValueError, m.var_ci_np, a([1.0, INF]), 0.5) == NAN_MSG.format("x")
    assert raises(ValueError, m.var_ci_np, a([4.0, 4.0, 4.0])) == "sample variance is zero"
    assert raises(TypeError, m.var_ci_np, np.arange(6.0)[::2], 2.0) == "The given array is not contiguous"
    r = m.var_ci_np(a([1.0, 3.0]), 1e-300)  # an interval of (almost) no width
    assert r["ci_lower"] == pytest.approx(r["ci_upper"], rel=1e-12)


class _Claims:
    """A sequence whose length claim need not match what it yields."""

    def __init__(self, claimed, items):
        self.claimed, self.items = claimed, items

    def __len__(self):
        if self.claimed is None:
            raise RuntimeError("no length")
        return self.claimed

    def __getitem__(self, i):
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


@pytest.mark.parametrize("claimed", [None, 0, 1, 2**40, 2**62, 2**63 - 1])
def test_group_sequence_length_is_only_a_hint(claimed):
    groups = [a([1.0, 2.0]), a([3.0, 5.0, 4.0])]
    assert m.f_test_oneway_np(_Claims(claimed, groups)) == m.f_test_oneway_np(groups)
    assert m.bartlett_test_np(_Claims(claimed, groups)) == m.bartlett_test_np(groups)
