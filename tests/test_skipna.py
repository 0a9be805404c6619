import math

import numpy as np
import pytest

from reference import loop_sum, same
from marlox_stats import marlox_stats_rs as m

nan, inf = math.nan, math.inf
arr = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731
PAIRS = [("mean_skipna_np", "mean_nan_np"), ("var_skipna_np", "var_nan_np"), ("std_skipna_np", "std_nan_np")]


def refs(x):
    """Mean, variance and Welford triple of the non-NaN values, as plain loops."""
    kept = [float(v) for v in x if not math.isnan(v)]
    k = len(kept)
    mean = loop_sum(kept) / k if k else nan
    var = loop_sum((v - mean) * (v - mean) for v in kept) / (k - 1) if k > 1 else nan
    if k > 1 and math.isfinite(kept[0]) and all(v == kept[0] for v in kept):
        var = 0.0  # equal values have no spread, whatever their rounded mean
    n, mu, M = 0, 0.0, 0.0
    for v in kept:
        n += 1
        d = v - mu
        mu += d / n
        M += d * (v - mu)
    welford = (nan, nan, 0) if n == 0 else (mu, nan, 1) if n == 1 else (mu, M / (n - 1.0), n)
    return mean, var, welford


def samples():
    rng = np.random.default_rng(7)
    out = [arr(nan, nan), arr(1.0, inf, nan), arr(-inf, inf), np.array([nan, 3.0, -nan, 1e300, -1e300]),
           np.r_[nan, np.full(9, 0.1), nan, 0.1]]
    for n in (0, 1, 2, 3, 17, 1000):
        x = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4) + rng.standard_normal()
        x[rng.random(n) < 0.3] = nan
        out.append(x)
    return out


@pytest.mark.parametrize("x", samples(), ids=lambda x: f"n{len(x)}")
def test_exact_against_loops(x):
    mean, var, welford = refs(x)
    for name, expected in zip(PAIRS, (mean, var, math.sqrt(var))):
        assert same(getattr(m, name[0])(x), expected) and same(getattr(m, name[1])(x), expected)
    out = m.welford_np(x)
    assert same(out[:2], welford[:2]) and type(out[2]) is int and out[2] == welford[2]
    s = math.sqrt(var)
    z = [nan] * len(x) if math.isnan(s) or math.isinf(s) or s == 0 else [(float(a) - mean) / s for a in x]
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
        ("mean_nan_np", arr(1, nan, 3), 2.0),
        ("mean_skipna_np", arr(nan, nan), nan),
        ("mean_nan_np", arr(1, inf), inf),
        ("var_skipna_np", arr(1, nan), nan),
        ("var_nan_np", arr(1, nan, 3), 2.0),
        ("std_nan_np", arr(1, nan, 3), math.sqrt(2)),
        ("std_skipna_np", arr(4, 4, nan), 0.0),
        ("welford_np", arr(), (nan, nan, 0)),
        ("welford_np", arr(nan, 5, nan), (5.0, nan, 1)),
        ("welford_np", arr(1, nan, 3), (2.0, 2.0, 2)),
    ],
)
def test_cases(name, x, expected):
    assert same(getattr(m, name)(x), expected)


@pytest.mark.parametrize(
    "x, expected",
    [
        (arr(1, nan, 3), [-1 / math.sqrt(2), nan, 1 / math.sqrt(2)]),
        (np.array([-nan, 1.0, 3.0]), [nan, -1 / math.sqrt(2), 1 / math.sqrt(2)]),
        (arr(2, 2, nan), [nan, nan, nan]),
        (arr(5, nan), [nan, nan]),
        (arr(), []),
        # the variance overflows to +inf: NaN values as in zscore_np
        (arr(1e300, -1e300, nan), [nan, nan, nan]),
    ],
)
def test_zscore_skipna_cases(x, expected):
    out = m.zscore_skipna_np(x)
    assert out.dtype == np.float64 and same(out, expected)
    assert not np.signbit(out[np.isnan(out)]).any()
