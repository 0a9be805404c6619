"""Independent checks of the t tests, ANOVA and variance tests: values recomputed
in the documented arithmetic order, messages with their number formatting, the
order of checks and the handling of a `groups` argument."""
import math

import numpy as np
import pytest
import scipy.stats as st

from reference import loop_sum, same, raises
from reference import kahan_ss
from marlox_stats import marlox_stats_rs as m

a = np.array
INF = math.inf
NAN = math.nan
NAN_MSG = "{} contains NaN or Inf; marlox-stats v0.3 nan_policy is 'reject'"
ALT_MSG = "alternative must be one of: 'two-sided', 'less', 'greater'"


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


def sci6(v):
    """Six digits after the point and a bare exponent: 0.25 -> 2.500000e-1."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    mant, exp = f"{v:.6e}".split("e")
    return f"{mant}e{int(exp)}"


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


def variance_cases():
    big = 1.3e154
    x1 = [big, -big, 0.75]  # mean 0.25; the squares overflow
    x2 = [-big, big, -3.0]  # mean -1
    x3 = [-1.7e308] * 3      # the sum overflows to -inf
    x4 = [1e300, -1e300, 3e300]
    return [x1, x2, x3, x4]


@pytest.mark.parametrize("x", variance_cases())
def test_one_sample_variance_message(x):
    mean, var = mean_var(x)
    assert not math.isfinite(var)
    msg = f"variance is not finite: var={sci6(var)}, mean={sci6(mean)}, n={len(x)}"
    assert raises(ValueError, m.t_test_1samp_np, a(x), 0.0, "bad") == msg


def test_message_formatting_examples():
    x = a(variance_cases()[0])
    assert raises(ValueError, m.t_test_1samp_np, x, 0.0) == "variance is not finite: var=NaN, mean=2.500000e-1, n=3"
    assert raises(ValueError, m.t_test_1samp_np, a(variance_cases()[2]), 0.0) == (
        "variance is not finite: var=NaN, mean=-inf, n=3")
    bad = a([-1.3e154, 1.3e154])
    for y, text in [
        (a([0.0, 0.5, 1.0]), "2.500000e-1"),
        (a([0.0, 10.0, 20.0]), "1.000000e2"),
        (a([1.0, 1.0]), "0.000000e0"),
        (a([0.0, 1e-5]), "5.000000e-11"),
        (a([0.0, 1234.5 * 2.0 ** 0.5]), "1.523990e6"),
    ]:
        assert raises(ValueError, m.t_test_2samp_np, y, bad, True) == f"variance is not finite: v1={text}, v2=inf"
        assert raises(ValueError, m.t_test_2samp_np, bad, y, False) == f"variance is not finite: v1=inf, v2={text}"


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
