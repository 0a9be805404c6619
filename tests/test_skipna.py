import math

import numpy as np
import pytest

from conftest import loop_sum, same
from marlox_stats import marlox_stats_rs as m

nan, inf = math.nan, math.inf
arr = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731

MEAN = ["mean_skipna_np", "mean_nan_np"]
VAR = ["var_skipna_np", "var_nan_np"]
STD = ["std_skipna_np", "std_nan_np"]


def kept(x):
    return [float(v) for v in x if not math.isnan(v)]


def ref_mean(x):
    k = kept(x)
    return loop_sum(k) / len(k) if k else nan


def ref_var(x):
    k = kept(x)
    if len(k) < 2:
        return nan
    mu = loop_sum(k) / len(k)
    return loop_sum((v - mu) * (v - mu) for v in k) / (len(k) - 1)


def ref_welford(x):
    k, mu, M = 0, 0.0, 0.0
    for v in kept(x):
        k += 1
        d = v - mu
        mu += d / k
        M += d * (v - mu)
    if k == 0:
        return nan, nan, 0
    if k == 1:
        return mu, nan, 1
    return mu, M / (k - 1.0), k


def samples():
    rng = np.random.default_rng(7)
    out = []
    for n in (0, 1, 2, 3, 17, 1000):
        x = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4) + rng.standard_normal()
        if n:
            x[rng.random(n) < 0.3] = nan
        out.append(x)
    out.append(arr(nan, nan))
    out.append(arr(1.0, inf, nan))
    out.append(arr(-inf, inf))
    out.append(np.array([nan, 3.0, -nan, 1e300, -1e300]))
    return out


@pytest.mark.parametrize("x", samples(), ids=lambda x: f"n{len(x)}")
def test_exact_against_loops(x):
    for name in MEAN:
        assert same(getattr(m, name)(x), ref_mean(x))
    for name in VAR:
        assert same(getattr(m, name)(x), ref_var(x))
    for name in STD:
        assert same(getattr(m, name)(x), math.sqrt(ref_var(x)))
    assert same(m.welford_np(x), ref_welford(x))
    mu, v = ref_mean(x), ref_var(x)
    s = math.sqrt(v)
    z = [nan] * len(x) if math.isnan(s) or math.isinf(s) or s == 0 else [(float(a) - mu) / s for a in x]
    assert same(m.zscore_skipna_np(x), z)


def test_agrees_with_numpy_nan_functions():
    x = np.random.default_rng(3).standard_normal(10_001) * 5 + 2
    x[::7] = nan
    assert m.mean_nan_np(x) == pytest.approx(np.nanmean(x), rel=1e-13)
    assert m.var_nan_np(x) == pytest.approx(np.nanvar(x, ddof=1), rel=1e-12)
    assert m.std_nan_np(x) == pytest.approx(np.nanstd(x, ddof=1), rel=1e-12)
    mean, var, count = m.welford_np(x)
    assert (mean, var) == pytest.approx((np.nanmean(x), np.nanvar(x, ddof=1)), rel=1e-12)
    assert count == np.count_nonzero(~np.isnan(x))


@pytest.mark.parametrize(
    "name, x, expected",
    [
        ("mean_skipna_np", arr(1, nan, 3), 2.0),
        ("mean_nan_np", arr(1, nan, 3), 2.0),
        ("mean_skipna_np", arr(nan, nan), nan),
        ("mean_skipna_np", arr(), nan),
        ("mean_nan_np", arr(1, inf), inf),
        ("var_skipna_np", arr(1, nan), nan),
        ("var_nan_np", arr(1, nan, 3), 2.0),
        ("var_skipna_np", arr(), nan),
        ("std_nan_np", arr(1, nan, 3), math.sqrt(2)),
        ("std_skipna_np", arr(4, 4, nan), 0.0),
        ("var_skipna_np", arr(1, inf, 2), nan),
    ],
)
def test_scalar_cases(name, x, expected):
    assert same(getattr(m, name)(x), expected)


@pytest.mark.parametrize(
    "x, expected",
    [
        (arr(1, nan, 3), [-1 / math.sqrt(2), nan, 1 / math.sqrt(2)]),
        (arr(2, 2, nan), [nan, nan, nan]),
        (arr(5, nan), [nan, nan]),
        (arr(), []),
        # the variance overflows to +inf: NaN values as in zscore_np
        (arr(1e300, -1e300, nan), [nan, nan, nan]),
        (arr(1, inf, nan), [nan, nan, nan]),
    ],
)
def test_zscore_skipna_cases(x, expected):
    out = m.zscore_skipna_np(x)
    assert out.dtype == np.float64
    assert same(out, expected)


def test_zscore_skipna_nan_positions_are_plain_nan():
    x = np.array([-nan, 1.0, 3.0])
    out = m.zscore_skipna_np(x)
    assert np.isnan(out[0]) and not np.signbit(out[0])
    assert same(out[1:], [-1 / math.sqrt(2), 1 / math.sqrt(2)])


def test_zscore_skipna_matches_zscore_np_without_nan():
    rng = np.random.default_rng(11)
    for x in (rng.standard_normal(50), arr(1e300, -1e300), arr(3, 3, 3), arr(7)):
        assert same(m.zscore_skipna_np(x), m.zscore_np(x))


@pytest.mark.parametrize(
    "x, expected",
    [
        (arr(), (nan, nan, 0)),
        (arr(5), (5.0, nan, 1)),
        (arr(nan, 5, nan), (5.0, nan, 1)),
        (arr(1, nan, 3), (2.0, 2.0, 2)),
    ],
)
def test_welford_cases(x, expected):
    out = m.welford_np(x)
    assert type(out) is tuple and type(out[2]) is int
    assert same(out[:2], expected[:2]) and out[2] == expected[2]


@pytest.mark.parametrize("name", MEAN + VAR + STD + ["zscore_skipna_np", "welford_np"])
def test_not_contiguous(name):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        getattr(m, name)(np.arange(9.0)[::2])
