import inspect
import math
import subprocess

import numpy as np
import pytest
import scipy.stats as st
from statsmodels.stats.proportion import proportions_ztest

from reference import loop_sum, raises, same
from marlox_stats import marlox_stats_rs as m

a = np.array
INF = math.inf
NAN_MSG = "{} contains NaN or Inf; marlox-stats v0.3 nan_policy is 'reject'"
ALT_MSG = "alternative must be one of: 'two-sided', 'less', 'greater'"
TOL_MSG = (
    "For each axis slice, the sum of the observed frequencies must agree with the sum of the expected "
    "frequencies to a relative tolerance of 0.000000014901161193847656, but the percent differences are:\n{}"
)


def close(ours, ref, rel=1e-12, abs_=1e-14):
    return ours == pytest.approx(ref, rel=rel, abs=abs_)


def kahan(terms):
    total = c = 0.0
    for t in terms:
        y = t - c
        s = total + y
        c = (s - total) - y
        total = s
    return total


def pearson_loop(x, y):
    n = len(x)
    mx, my = loop_sum(x) / n, loop_sum(y) / n
    sxx = syy = sxy = 0.0
    for u, v in zip(x, y):
        dx, dy = float(u) - mx, float(v) - my
        sxx += dx * dx
        syy += dy * dy
        sxy += dx * dy
    return sxy / math.sqrt(sxx * syy)


# ---------------------------------------------------------------- chi-square


@pytest.mark.parametrize("seed,k", [(0, 2), (1, 5), (2, 40)])
def test_chi2_gof_agrees_with_scipy_and_sums_in_order(seed, k):
    rng = np.random.default_rng(seed)
    obs = rng.integers(0, 50, k).astype(float) + 1.0
    r = m.chi2_gof_np(obs)
    assert list(r) == ["statistic", "pvalue", "df"]
    e = loop_sum(obs) / k
    assert r["statistic"] == kahan([(o - e) * (o - e) / e for o in obs])
    assert r["df"] == float(k - 1)
    ref = st.chisquare(obs)
    assert close(r["statistic"], ref.statistic) and close(r["pvalue"], ref.pvalue, rel=1e-10)
    exp = rng.uniform(0.5, 2.0, k)
    exp *= obs.sum() / exp.sum()
    r = m.chi2_gof_np(obs, exp)
    assert r["statistic"] == kahan([(o - x) * (o - x) / x for o, x in zip(obs, exp)])
    ref = st.chisquare(obs, exp)
    assert close(r["statistic"], ref.statistic, rel=1e-10) and close(r["pvalue"], ref.pvalue, rel=1e-9)


def test_chi2_gof_edge_values():
    assert m.chi2_gof_np(a([10.0, 10.0])) == {"statistic": 0.0, "pvalue": 1.0, "df": 1.0}
    assert m.chi2_gof_np(a([10.0, 10.0]), a([5.0, 5.0]), sum_check=False)["statistic"] == 10.0
    # Without the check the expected counts are used as given, not rescaled.
    assert m.chi2_gof_np(a([1.0, 3.0]), a([100.0, 100.0]), sum_check=False)["statistic"] == 99.0**2 / 100 + 97.0**2 / 100
    # Totals within the tolerance pass.
    m.chi2_gof_np(a([10.0, 10.0]), a([10.0, 10.0 + 1e-7]))


@pytest.mark.parametrize(
    "obs,exp,diff",
    [
        ([10.0, 10.0], [5.0, 5.0], "1"), ([10.0, 10.0], [10.0, 10.5], "0.025"), ([10.0, 10.0], [11.0, 11.0], "0.1"),
        ([1.2345e25] * 2, [1.0, 1.0], "12345000000000000000000000"),
        ([4.9999999999999995e299] * 2, [1.0, 1.0], "49999999999999995" + "0" * 283),
        ([1e20, 1.0], [1.0, 1.0], None), ([1e300] * 2, [1.0, 1.0], None), ([123456789.0] * 2, [1.0, 1.0], None),
        ([1.7976931348623157e308, 1.0], [1.0, 1.0], None), ([3.0, 7.0], [1 / 3, 1 / 3], None),
        ([1.0, 1.0], [1.0, 1.0 + 3e-8], None), ([1.0, 1.0], [1.0, 1.0 + 2e-7], None), ([0.1, 0.2], [0.7, 0.3], None),
    ],
)
def test_chi2_gof_tolerance_message(obs, exp, diff):
    # The relative difference is written in plain decimal notation with the
    # shortest digits that read back exactly: repr's digits, without exponent.
    obs, exp = a(obs), a(exp)
    so, se = loop_sum(obs), loop_sum(exp)
    rel = abs(so - se) / min(so, se)
    if diff is None:
        diff = np.format_float_positional(rel, unique=True, trim="-")
    assert raises(ValueError, m.chi2_gof_np, obs, exp) == TOL_MSG.format(diff)
    assert float(diff) == rel and set(diff) <= set("0123456789.")
    significant = lambda t: t.replace(".", "").strip("0")  # noqa: E731
    assert significant(diff) == significant(repr(rel).split("e")[0])


@pytest.mark.parametrize(
    "obs,exp,msg",
    [
        ([1.0, np.nan], [-1.0], NAN_MSG.format("observed")),
        ([-1.0, INF], None, NAN_MSG.format("observed")),
        ([-1.0], None, "observed must be non-negative counts"),
        ([5.0], None, "chi2_gof requires at least 2 categories"),
        ([], None, "chi2_gof requires at least 2 categories"),
        ([0.0, -0.0], None, "sum(observed) must be > 0"),
        ([0.0, 0.0], [np.nan], "sum(observed) must be > 0"),
        ([1.0, 1.0], [1.0, INF, 3.0], NAN_MSG.format("expected")),
        ([1.0, 1.0], [1.0, 0.0, 1.0], "expected must have same length as observed"),
        ([1.0, 1.0], [2.0, 0.0], "expected must be strictly positive"),
        ([1.0, 1.0], [3.0, -1.0], "expected must be strictly positive"),
    ],
)
def test_chi2_gof_check_order(obs, exp, msg):
    args = (a(obs),) if exp is None else (a(obs), a(exp))
    assert raises(ValueError, m.chi2_gof_np, *args) == msg
    if exp is not None:
        assert raises(ValueError, m.chi2_gof_np, *args, sum_check=False) == msg


def test_chi2_gof_expected_contiguity_checked_in_turn():
    strided = a([1.0, 9.0, 1.0, 9.0])[::2]
    assert raises(ValueError, m.chi2_gof_np, a([-1.0, 1.0]), strided) == "observed must be non-negative counts"
    assert raises(TypeError, m.chi2_gof_np, a([1.0, 1.0]), strided) == "The given array is not contiguous"
    assert raises(TypeError, m.chi2_gof_np, a([1.0, 1.0, 1.0, 1.0])[::2]) == "The given array is not contiguous"


def test_chi2_gof_signature_and_keyword_only():
    assert str(inspect.signature(m.chi2_gof_np)) == "(observed, expected=None, *, sum_check=True)"
    assert m.chi2_gof_np(a([10.0, 10.0]), None, sum_check=True)["pvalue"] == 1.0
    e = raises(TypeError, m.chi2_gof_np, a([1.0, 2.0]), a([1.0, 2.0]), False)
    assert e == "chi2_gof_np() takes from 1 to 2 positional arguments but 3 were given"
    assert raises(TypeError, m.chi2_gof_np, [1.0, 2.0]).startswith("argument 'observed': ")
    assert raises(TypeError, m.chi2_gof_np, a([1.0, 2.0]), [1.0, 2.0]).startswith("argument 'expected': ")


@pytest.mark.parametrize("seed,shape", [(0, (2, 2)), (1, (3, 4)), (2, (6, 2))])
def test_chi2_independence_agrees_with_scipy_and_sums_in_order(seed, shape):
    t = np.random.default_rng(seed).integers(1, 60, shape).astype(float)
    r = m.chi2_independence_np(t)
    rows, cols = shape
    rs = [loop_sum(t[i]) for i in range(rows)]
    cs = [loop_sum(t[:, j]) for j in range(cols)]
    tot = loop_sum(t.ravel())
    terms = []
    for i in range(rows):
        for j in range(cols):
            e = rs[i] * cs[j] / tot
            terms.append((t[i, j] - e) * (t[i, j] - e) / e)
    assert r["statistic"] == kahan(terms)
    assert r["df"] == float((rows - 1) * (cols - 1))
    ref = st.chi2_contingency(t, correction=False)
    assert close(r["statistic"], ref.statistic, rel=1e-10) and close(r["pvalue"], ref.pvalue, rel=1e-9)


@pytest.mark.parametrize("seed,shape,empty_rows,empty_cols", [
    (0, (2, 2), [1], []), (1, (3, 4), [], [0]), (2, (4, 3), [0, 5], [2]), (3, (2, 5), [2, 3], [0, 6, 7]),
])
def test_chi2_independence_empty_rows_and_columns_are_left_out(seed, shape, empty_rows, empty_cols):
    # An empty row or column has expected counts of 0 and constrains
    # nothing: statistic, df and p are those of the table without it.
    t = np.random.default_rng(seed).integers(1, 30, shape).astype(float)
    ref = st.chi2_contingency(t, correction=False)
    for i in empty_rows:
        t = np.insert(t, i, 0.0, axis=0)
    for j in empty_cols:
        t = np.insert(t, j, 0.0, axis=1)
    r = m.chi2_independence_np(t)
    assert r["df"] == float(ref.dof)
    assert close(r["statistic"], ref.statistic, rel=1e-10) and close(r["pvalue"], ref.pvalue, rel=1e-9)
    ref = st.chi2_contingency(a([[5.0, 3, 2], [1, 4, 6]]), correction=False)
    r = m.chi2_independence_np(a([[5.0, 3, 2], [0, 0, 0], [1, 4, 6]]))
    assert r["df"] == 2.0 and close(r["statistic"], ref.statistic) and close(r["pvalue"], ref.pvalue, rel=1e-9)


@pytest.mark.parametrize("c", [0.1, 1 / 3, 0.7, 1.1, 2.0, 1e-3 / 7])
@pytest.mark.parametrize("shape", [(8,), (3, 4), (2, 2)])
def test_chi2_equal_counts_fit_exactly(c, shape):
    # Equal counts are their own expected counts (in exact arithmetic the
    # statistic is 0), even where those expected counts are an inexact mean
    # (eight 0.1 once gave 1.5e-32).
    fn = m.chi2_gof_np if len(shape) == 1 else m.chi2_independence_np
    r = fn(np.full(shape, c))
    assert (r["statistic"], r["pvalue"]) == (0.0, 1.0)
    # one count off by an ulp keeps the statistic of its arithmetic
    obs = np.full(shape, c)
    obs.flat[-1] = np.nextafter(c, 1.0)
    flat = obs.ravel().tolist()
    if len(shape) == 1:
        e = loop_sum(flat) / len(flat)
        terms = [(o - e) * (o - e) / e for o in flat]
    else:
        rows, cols = shape
        rs = [loop_sum(obs[i]) for i in range(rows)]
        cs = [loop_sum(obs[:, j]) for j in range(cols)]
        tot = loop_sum(flat)
        terms = [(obs[i, j] - rs[i] * cs[j] / tot) ** 2 / (rs[i] * cs[j] / tot) for i in range(rows) for j in range(cols)]
    assert fn(obs)["statistic"] == kahan(terms)


@pytest.mark.parametrize("table", [[[1.0, 2.0, 3.0], [0.0, 0.0, 0.0]], [[0.0, 4.0], [0.0, 7.0], [0.0, 0.5]],
                                   [[0.0, 0.0], [0.0, 3.0]]])
def test_chi2_independence_without_two_rows_and_columns(table):
    # One row or column left: the counts follow their totals, no df, no p.
    r = m.chi2_independence_np(a(table))
    assert r["df"] == 0.0 and math.isnan(r["pvalue"])
    assert abs(r["statistic"]) < 1e-15


@pytest.mark.parametrize(
    "table,msg",
    [
        (np.ones((1, 5)), "contingency table must be at least 2x2"),
        (np.ones((3, 1)), "contingency table must be at least 2x2"),
        (np.zeros((0, 0)), "contingency table must be at least 2x2"),
        (np.asfortranarray([[1.0, np.nan], [-1.0, 2.0]]), "table must be C-contiguous float64"),
        (np.ones((3, 6))[:, ::2], "table must be C-contiguous float64"),
        (a([[1.0, -1.0], [2.0, INF]]), NAN_MSG.format("table")),
        (a([[1.0, 2.0], [-0.5, 2.0]]), "table must be non-negative counts"),
        (np.zeros((2, 3)), "sum(table) must be > 0"),
    ],
)
def test_chi2_independence_check_order(table, msg):
    assert raises(ValueError, m.chi2_independence_np, table) == msg


def test_chi2_tables_must_be_two_dimensional():
    assert raises(TypeError, m.chi2_independence_np, np.ones(4)).startswith("argument 'table': ")
    assert raises(TypeError, m.odds_ratio_np, np.ones((2, 2, 1))).startswith("argument 'table': ")


# ---------------------------------------------------------------- proportions


@pytest.mark.parametrize("count,nobs,value", [(30.0, 100.0, 0.4), (7.0, 9.0, 0.5), (0.0, 12.0, 0.2), (3.5, 4.0, 0.9)])
@pytest.mark.parametrize("alt,sm", [("two-sided", "two-sided"), ("two_sided", "two-sided"), ("less", "smaller"), ("greater", "larger")])
def test_proportion_ztest_agrees_with_statsmodels(count, nobs, value, alt, sm):
    r = m.proportion_ztest_np(count, nobs, value, alt)
    assert list(r) == ["statistic", "pvalue", "proportion"]
    z, p = proportions_ztest(count, nobs, value, sm, prop_var=value)
    assert r["statistic"] == (count / nobs - value) / math.sqrt(value * (1 - value) / nobs)
    assert close(r["statistic"], z) and close(r["pvalue"], p, rel=1e-10)
    assert r["proportion"] == count / nobs


def test_proportion_ztest_edges():
    assert m.proportion_ztest_np(5.0, 10.0) == {"statistic": 0.0, "pvalue": 1.0, "proportion": 0.5}
    assert m.proportion_ztest_np(-0.0, 10.0)["proportion"] == 0.0
    r = m.proportion_ztest_np(10.0, 10.0, 0.5, "greater")
    assert r["pvalue"] == pytest.approx(st.norm.sf(r["statistic"]), rel=1e-12)


@pytest.mark.parametrize(
    "args,msg",
    [
        ((np.nan, np.nan, 2.0, "x"), "nobs must be a positive finite number"),
        ((1.0, 0.0, 0.5), "nobs must be a positive finite number"),
        ((1.0, INF, 0.5), "nobs must be a positive finite number"),
        ((11.0, 10.0, 2.0, "x"), "count must be in [0, nobs]"),
        ((-1.0, 10.0, 0.5), "count must be in [0, nobs]"),
        ((np.nan, 10.0, 0.5), "count must be in [0, nobs]"),
        ((1.0, 10.0, 0.0, "x"), "value must be in (0, 1)"),
        ((1.0, 10.0, 1.0), "value must be in (0, 1)"),
        ((1.0, 10.0, np.nan), "value must be in (0, 1)"),
        ((1.0, 10.0, 0.5, "LESS"), ALT_MSG),
        ((0.0, 1e300, 5e-324), "standard error is zero (degenerate case)"),
    ],
)
def test_proportion_ztest_check_order(args, msg):
    assert raises(ValueError, m.proportion_ztest_np, *args) == msg


@pytest.mark.parametrize("c1,n1,c2,n2", [(30.0, 100.0, 45.0, 110.0), (1.0, 5.0, 4.0, 6.0), (12.0, 40.0, 12.0, 40.0)])
@pytest.mark.parametrize("alt,sm", [("two-sided", "two-sided"), ("less", "smaller"), ("greater", "larger")])
def test_two_proportions_agrees_with_statsmodels(c1, n1, c2, n2, alt, sm):
    r = m.two_proportions_ztest_np(c1, n1, c2, n2, alt)
    assert list(r) == ["statistic", "pvalue", "proportion1", "proportion2", "diff"]
    z, p = proportions_ztest([c1, c2], [n1, n2], alternative=sm)
    assert close(r["statistic"], z) and close(r["pvalue"], p, rel=1e-10)
    p1, p2 = c1 / n1, c2 / n2
    assert (r["proportion1"], r["proportion2"], r["diff"]) == (p1, p2, p1 - p2)


@pytest.mark.parametrize("c1,n1,c2,n2", [(0.0, 10.0, 0.0, 20.0), (10.0, 10.0, 20.0, 20.0)])
def test_two_proportions_without_variation(c1, n1, c2, n2):
    r = m.two_proportions_ztest_np(c1, n1, c2, n2, "less")
    p = c1 / n1
    assert r == {"statistic": 0.0, "pvalue": 1.0, "proportion1": p, "proportion2": p, "diff": 0.0}


@pytest.mark.parametrize(
    "args,msg",
    [
        ((-1.0, 0.0, 1.0, 1.0, "x"), "nobs must be positive finite numbers"),
        ((1.0, 1.0, 1.0, np.nan), "nobs must be positive finite numbers"),
        ((2.0, 1.0, -1.0, 1.0, "x"), "count1 must be in [0, nobs1]"),
        ((INF, 1.0, 1.0, 1.0), "count1 must be in [0, nobs1]"),
        ((1.0, 1.0, 2.0, 1.0, "x"), "count2 must be in [0, nobs2]"),
        ((1.0, 2.0, 1.0, 2.0, " less"), ALT_MSG),
    ],
)
def test_two_proportions_check_order(args, msg):
    assert raises(ValueError, m.two_proportions_ztest_np, *args) == msg


# ---------------------------------------------------------------- odds ratio


def odds_ref(a_, b, c, d, conf):
    if 0.0 in (a_, b, c, d):
        a_, b, c, d = a_ + 0.5, b + 0.5, c + 0.5, d + 0.5
    orr = a_ * d / (b * c)
    lo = math.log(orr)
    se = math.sqrt(1 / a_ + 1 / b + 1 / c + 1 / d)
    z = st.norm.ppf(1 - (1 - conf) / 2)
    return orr, lo, math.exp(lo - z * se), math.exp(lo + z * se), se


@pytest.mark.parametrize("cells", [(1.0, 2.0, 0.0, 4.0), (5.0, 2.0, 3.0, 4.0), (20.0, 7.0, 9.0, 31.0), (0.0, 0.0, 3.0, 3.0)])
@pytest.mark.parametrize("conf", [0.95, 0.5, 0.999])
def test_odds_ratio_values(cells, conf):
    r = m.odds_ratio_np(a(cells).reshape(2, 2), conf)
    assert list(r) == ["odds_ratio", "log_odds_ratio", "ci_lower", "ci_upper", "se"]
    ref = odds_ref(*cells, conf)
    assert (r["odds_ratio"], r["log_odds_ratio"], r["se"]) == (ref[0], ref[1], ref[4])
    assert close(r["ci_lower"], ref[2]) and close(r["ci_upper"], ref[3])


def test_odds_ratio_hand_value_and_unscanned_nan():
    assert m.odds_ratio_np(a([[1.0, 2.0], [0.0, 4.0]]))["odds_ratio"] == 1.5 * 4.5 / (2.5 * 0.5) == pytest.approx(5.4)
    r = m.odds_ratio_np(a([[np.nan, 2.0], [1.0, 4.0]]))
    assert all(math.isnan(v) for v in r.values() if v is not r["se"]) and math.isnan(r["se"])


@pytest.mark.parametrize(
    "table,conf,msg",
    [
        (np.ones((2, 3)), np.nan, "table must be a 2x2 array"),
        (np.ones((3, 2)), 0.95, "table must be a 2x2 array"),
        (np.ones((2, 2)), np.nan, "confidence must be in (0, 1)"),
        (np.ones((2, 2)), 1.0, "confidence must be in (0, 1)"),
        (-np.asfortranarray([[1.0, 2.0], [3.0, 4.0]]), 0.0, "confidence must be in (0, 1)"),
        (-np.asfortranarray([[1.0, 2.0], [3.0, 4.0]]), 0.9, "table must be C-contiguous"),
        (np.ones((2, 4))[:, ::2], 0.9, "table must be C-contiguous"),
        (a([[1.0, 2.0], [-0.5, 4.0]]), 0.9, "table entries must be non-negative"),
    ],
)
def test_odds_ratio_check_order(table, conf, msg):
    assert raises(ValueError, m.odds_ratio_np, table, conf) == msg


# ---------------------------------------------------------------- correlation


def rank_t_p(r, n):
    df = n - 2
    t = r * math.sqrt(df / (1 - r * r))
    return t, 2 * min(st.t.cdf(t, df), st.t.sf(t, df))


@pytest.mark.parametrize("seed,n", [(0, 5), (1, 10), (2, 500)])
def test_correlation_tests_agree_with_scipy(seed, n):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n)
    y = 0.5 * x + rng.standard_normal(n)
    y[: n // 3] = np.round(y[: n // 3])  # some ties for the ranks
    r = m.pearson_corr_test_np(x, y)
    assert list(r) == ["correlation", "statistic", "pvalue", "df"]
    assert r["correlation"] == pearson_loop(x, y)
    ref = st.pearsonr(x, y)
    assert close(r["correlation"], ref.statistic) and close(r["pvalue"], ref.pvalue, rel=1e-8)
    assert r["df"] == float(n - 2)
    s = m.spearman_corr_test_np(x, y)
    rx, ry = st.rankdata(x), st.rankdata(y)
    assert s["correlation"] == pearson_loop(rx, ry)
    t, p = rank_t_p(s["correlation"], n)
    assert s["statistic"] == t and close(s["pvalue"], p, rel=1e-10)
    ref = st.spearmanr(x, y)
    assert close(s["correlation"], ref.statistic) and close(s["pvalue"], ref.pvalue, rel=1e-8)


def test_perfect_correlation():
    assert m.pearson_corr_test_np(a([1.0, 2.0, 3.0]), a([2.0, 4.0, 6.0])) == {
        "correlation": 1.0, "statistic": INF, "pvalue": 0.0, "df": 1.0}
    r = m.spearman_corr_test_np(a([1.0, 2.0, 3.0, 4.0]), a([1.0, 4.0, 9.0, 16.0]))
    assert r == {"correlation": 1.0, "statistic": INF, "pvalue": 0.0, "df": 2.0}
    r = m.spearman_corr_test_np(a([1.0, 2.0, 3.0, 4.0]), a([9.0, 4.0, 1.0, 0.0]))
    assert (r["correlation"], r["statistic"], r["pvalue"]) == (-1.0, -INF, 0.0)


def test_values_near_the_largest_doubles_correlate():
    # Every deviation sum of the values overflows, yet read in its unit each
    # sample answers as the same values scaled down.
    x = a([1e200, -1e200, 1e200, -1e200])
    r = m.pearson_corr_test_np(x, 0.5 * x)
    assert r == m.pearson_corr_test_np(np.ldexp(x, -600), np.ldexp(0.5 * x, -600))
    assert (r["correlation"], r["statistic"], r["pvalue"], r["df"]) == (1.0, INF, 0.0, 2.0)
    y = a([1e200, -3e200, 2e199, 7e200])
    ref = st.pearsonr(np.ldexp(x, -600), np.ldexp(y, -600))
    for r in (m.pearson_corr_test_np(x, y), m.corr_ci_np(x, y)):
        assert close(r["correlation"], ref.statistic, rel=1e-12)


@pytest.mark.parametrize("k", [2.0 ** 400, 2.0 ** -400, 2.0 ** -500, 2.0 ** -1000, 2.0 ** 1000, 1e150, 1e-150])
def test_correlation_of_scaled_data(k):
    # The variance product over- or underflows here while r does not change.
    rng = np.random.default_rng(4)
    x = rng.standard_normal(40)
    y = 0.3 * x + rng.standard_normal(40)
    ref = st.pearsonr(x, y)
    exact = math.frexp(k)[0] == 0.5  # a power of two scales without rounding
    for fn in (m.pearson_corr_test_np, lambda u, v: m.corr_ci_np(u, v, "pearson", 0.9)):
        ours, base = fn(k * x, k * y), fn(x, y)
        if exact:
            assert ours == base
        else:
            assert all(close(ours[key], base[key], rel=1e-12) for key in base)
        assert close(ours["correlation"], ref.statistic, rel=1e-12)
    line = a([1.0, 2.0, 3.0]) * k
    assert m.pearson_corr_test_np(line, line) == {"correlation": 1.0, "statistic": INF, "pvalue": 0.0, "df": 1.0}
    assert m.pearson_corr_test_np(line, -line)["correlation"] == -1.0


@pytest.mark.parametrize("fn,name", [(m.pearson_corr_test_np, "pearson"), (m.spearman_corr_test_np, "spearman")])
def test_correlation_test_check_order(fn, name):
    assert raises(ValueError, fn, a([1.0, np.nan]), a([1.0])) == "x and y must have same length"
    assert raises(ValueError, fn, a([np.nan, 1.0]), a([1.0, 1.0])) == f"{name}_corr_test requires n >= 3"
    assert raises(ValueError, fn, a([1.0, 2.0, INF]), a([np.nan, 1.0, 1.0])) == NAN_MSG.format("x")
    assert raises(ValueError, fn, a([1.0, 1.0, 1.0]), a([-INF, 1.0, 1.0])) == NAN_MSG.format("y")
    zero = "zero variance in x or y" if name == "pearson" else "zero variance in ranks"
    assert raises(ValueError, fn, a([1.0, 2.0, 3.0, 4.0]), a([5.0, 5.0, 5.0, 5.0])) == zero
    assert raises(ValueError, fn, a([-0.0, 0.0, 0.0]), a([1.0, 2.0, 3.0])) == zero
    assert raises(TypeError, fn, a([1.0, 2.0, 3.0, 4.0])[::2], a([1.0, 2.0])) == "The given array is not contiguous"


@pytest.mark.parametrize("seed,n", [(0, 4), (1, 25), (2, 300)])
@pytest.mark.parametrize("conf", [0.95, 0.8])
def test_corr_ci_values(seed, n, conf):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n)
    y = x + rng.standard_normal(n)
    for method, r in (("pearson", pearson_loop(x, y)), ("Spearman", pearson_loop(st.rankdata(x), st.rankdata(y)))):
        c = m.corr_ci_np(x, y, method, conf)
        assert list(c) == ["correlation", "ci_lower", "ci_upper", "z", "se"]
        assert c["correlation"] == r
        assert c["z"] == 0.5 * math.log1p(2 * r / (1 - r))
        assert c["se"] == 1 / math.sqrt(n - 3)
        q = st.norm.ppf(1 - (1 - conf) / 2)
        assert close(c["ci_lower"], math.tanh(c["z"] - q * c["se"]))
        assert close(c["ci_upper"], math.tanh(c["z"] + q * c["se"]))
    if n > 4:
        ref = st.pearsonr(x, y).confidence_interval(conf)
        c = m.corr_ci_np(x, y, "PEARSON", confidence=conf)
        assert close(c["ci_lower"], ref.low, rel=1e-10) and close(c["ci_upper"], ref.high, rel=1e-10)


@pytest.mark.parametrize("eps", [1e-4, 1e-6])
@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_corr_ci_surrounds_a_near_perfect_correlation(sign, eps):
    # |r| above 0.9999999 but below 1 is transformed as it is, not clamped
    x = np.arange(10.0)
    y = sign * (x + eps * (-1.0) ** np.arange(10))
    c = m.corr_ci_np(x, y)
    r = c["correlation"]
    assert 0.9999999 < abs(r) < 1.0
    assert c["ci_lower"] < r < c["ci_upper"]
    assert close(c["z"], math.atanh(r), rel=1e-12)
    assert m.corr_ci_np(x, -y)["z"] == -c["z"]
    ref = st.pearsonr(x, y).confidence_interval(0.95)
    assert close(c["ci_lower"], ref.low, rel=1e-12) and close(c["ci_upper"], ref.high, rel=1e-12)


def test_corr_ci_perfect_correlation_is_finite():
    c = m.corr_ci_np(a([1.0, 2.0, 3.0, 4.0]), a([2.0, 4.0, 6.0, 8.0]))
    assert c["correlation"] == 1.0
    rc = 0.9999999
    assert c["z"] == 0.5 * math.log1p(2 * rc / (1 - rc)) and c["se"] == 1.0
    assert 0.0 < c["ci_lower"] < c["ci_upper"] < 1.0
    c = m.corr_ci_np(a([1.0, 2.0, 3.0, 4.0]), a([8.0, 6.0, 4.0, 2.0]), "spearman")
    assert c["correlation"] == -1.0 and math.isfinite(c["z"]) and c["z"] < 0


@pytest.mark.parametrize(
    "x,y,kw,msg",
    [
        ([1.0] * 4, [1.0] * 5, dict(method="x", confidence=2.0), "x and y must have the same length"),
        ([np.nan] * 3, [1.0] * 3, dict(method="x", confidence=2.0), "corr_ci requires n >= 4 (n-3 > 0 for Fisher z)"),
        ([np.nan] * 4, [1.0] * 4, dict(method="x", confidence=1.0), "confidence must be in (0, 1)"),
        ([np.nan] * 4, [1.0] * 4, dict(method="x", confidence=np.nan), "confidence must be in (0, 1)"),
        ([1.0, 2.0, 3.0, INF], [np.nan] * 4, dict(method="x"), NAN_MSG.format("x")),
        ([1.0] * 4, [np.nan] * 4, dict(method="x"), NAN_MSG.format("y")),
        ([1.0] * 4, [1.0] * 4, dict(method="kendall"), "method must be 'pearson' or 'spearman'"),
        ([1.0] * 4, [1.0] * 4, dict(method="pearson "), "method must be 'pearson' or 'spearman'"),
        ([1.0] * 4, [1.0] * 4, dict(method="pearſon"), "method must be 'pearson' or 'spearman'"),
        ([1.0, 2.0, 3.0, 4.0], [1.0] * 4, dict(method="pearson"), "zero variance in x or y"),
        ([1.0, 2.0, 3.0, 4.0], [1.0] * 4, dict(method="SPEARMAN"), "zero variance in x or y"),
    ],
)
def test_corr_ci_check_order(x, y, kw, msg):
    assert raises(ValueError, m.corr_ci_np, a(x), a(y), **kw) == msg


# ---------------------------------------------------------------- shared


def test_docstrings_and_signatures():
    sigs = {
        "chi2_independence_np": "(table)",
        "proportion_ztest_np": "(count, nobs, value=0.5, alternative='two-sided')",
        "two_proportions_ztest_np": "(count1, nobs1, count2, nobs2, alternative='two-sided')",
        "odds_ratio_np": "(table, confidence=0.95)",
        "pearson_corr_test_np": "(x, y)",
        "spearman_corr_test_np": "(x, y)",
        "corr_ci_np": "(x, y, method='pearson', confidence=0.95)",
    }
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(m, name))) == sig
    firsts = {
        "proportion_ztest_np": "One-sample proportion z-test.",
        "two_proportions_ztest_np": "Two-sample proportion z-test.",
        "odds_ratio_np": "Odds ratio and confidence interval for a 2x2 contingency table.",
        "pearson_corr_test_np": "Pearson correlation test.",
        "spearman_corr_test_np": "Spearman rank correlation test.",
        "corr_ci_np": "Pearson or Spearman correlation confidence interval via Fisher z-transform.",
    }
    for name, first in firsts.items():
        assert getattr(m, name).__doc__.splitlines()[0] == first
    assert not m.chi2_gof_np.__doc__ and not m.chi2_independence_np.__doc__


def test_inputs_unchanged():
    rng = np.random.default_rng(7)
    x, y = rng.standard_normal(30), rng.standard_normal(30)
    x[3] = x[9]
    t = rng.integers(1, 9, (3, 3)).astype(float)
    o = rng.integers(1, 9, 6).astype(float)
    keep = [v.copy() for v in (x, y, t, o)]
    m.spearman_corr_test_np(x, y)
    m.corr_ci_np(x, y, "spearman")
    m.chi2_independence_np(t)
    m.chi2_gof_np(o, o)
    m.odds_ratio_np(t[:2, :2].copy())
    for v, k in zip((x, y, t, o), keep):
        assert same(v, k)
