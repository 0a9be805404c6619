import inspect
import math

import numpy as np
import pytest

from reference import FAR_SCALES, close_at_scale, in_unit, loop_sum, same
from marlox_stats import marlox_stats_rs as m

nan, inf = math.nan, math.inf
arr = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731
PAIRS = [("mean_skipna_np", "mean_nan_np"), ("var_skipna_np", "var_nan_np"), ("std_skipna_np", "std_nan_np")]


def scaled(v, e):
    with np.errstate(over="ignore"):
        return float(np.ldexp(v, e))


def refs(x):
    """Mean, variance, standard deviation, Welford triple and z-scores of the
    non-NaN values, as plain loops over the values in their unit, scaled back."""
    xs, e = in_unit(x)
    kept = [v for v in xs if not math.isnan(v)]
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
    welford = (nan, nan, 0) if n == 0 else (mu, nan, 1) if n == 1 else (mu, scaled(M / (n - 1.0), 2 * e), n)
    s = math.sqrt(var)
    z = [nan] * len(x) if math.isnan(s) or math.isinf(s) or s == 0 else [(a - mean) / s for a in xs]
    return scaled(mean, e), scaled(var, 2 * e), scaled(s, e), (scaled(welford[0], e),) + welford[1:], z


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
    mean, var, std, welford, z = refs(x)
    for name, expected in zip(PAIRS, (mean, var, std)):
        assert same(getattr(m, name[0])(x), expected) and same(getattr(m, name[1])(x), expected)
    out = m.welford_np(x)
    assert same(out[:2], welford[:2]) and type(out[2]) is int and out[2] == welford[2]
    assert same(m.zscore_skipna_np(x), z)


# At 2^k the results are NumPy's on the unscaled data times 2^(k p): the
# data are read in their power-of-two unit where plain sums of squares would
# overflow or vanish.
@pytest.mark.parametrize("k", [0] + FAR_SCALES)
def test_agrees_with_numpy_nan_functions(k):
    x = np.random.default_rng(3).standard_normal(10_001) * 5 + 2
    x[::7] = nan
    xs = np.ldexp(x, k)
    peers = {"mean": (np.nanmean(x), 1), "var": (np.nanvar(x, ddof=1), 2), "std": (np.nanstd(x, ddof=1), 1)}
    for pair in PAIRS:
        peer, p = peers[pair[0].split("_")[0]]
        for name in pair:
            assert close_at_scale(getattr(m, name)(xs), peer, k, p), name
    mean, var, count = m.welford_np(xs)
    assert close_at_scale(mean, np.nanmean(x), k, 1) and close_at_scale(var, np.nanvar(x, ddof=1), k, 2)
    assert count == np.count_nonzero(~np.isnan(x))
    z = (x - np.nanmean(x)) / np.nanstd(x, ddof=1)
    np.testing.assert_allclose(m.zscore_skipna_np(xs), z, rtol=1e-12, atol=1e-12)


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
        # the variance overflows as the values stand, not in their unit
        (arr(1e300, -1e300, nan), [1 / math.sqrt(2), -1 / math.sqrt(2), nan]),
    ],
)
def test_zscore_skipna_cases(x, expected):
    out = m.zscore_skipna_np(x)
    assert out.dtype == np.float64 and same(out, expected)
    assert not np.signbit(out[np.isnan(out)]).any()


# ========================== NaN-skipping loops: values, signatures, check order

NAMES = ["mean_skipna_np", "mean_nan_np", "var_skipna_np", "var_nan_np", "std_skipna_np", "std_nan_np",
         "zscore_skipna_np", "welford_np"]


def kept(x):
    return [float(v) for v in x if not math.isnan(v)]


def mean_loop(x):
    s, k = 0.0, 0
    for v in kept(x):
        s += v
        k += 1
    return s / k if k else nan


def var_loop(x):
    vals = kept(x)
    if len(vals) < 2:
        return nan
    s = 0.0
    for v in vals:
        s += v
    mu = s / len(vals)
    if math.isfinite(vals[0]) and all(v == vals[0] for v in vals):
        return 0.0  # equal values have no spread, whatever their rounded mean
    q = 0.0
    for v in vals:
        q += (v - mu) ** 2
    return q / (len(vals) - 1)


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_no_description(name):
    f = getattr(m, name)
    assert str(inspect.signature(f)) == "(a)" and f.__doc__ is None


@pytest.mark.parametrize(
    "name, x, expected",
    [
        ("mean_skipna_np", arr(1, nan, 3), 2.0),
        ("mean_nan_np", arr(1, nan, 3), 2.0),
        ("mean_nan_np", arr(nan, nan), nan),
        ("mean_skipna_np", arr(1, inf), inf),
        ("mean_skipna_np", arr(-inf, inf, nan), nan),
        ("mean_nan_np", arr(), nan),
        # the sum starts from +0.0, so a lone -0.0 averages to +0.0
        ("mean_skipna_np", arr(nan, -0.0, -0.0), 0.0),
        ("var_skipna_np", arr(1, nan), nan),
        ("var_nan_np", arr(1, nan, 3), 2.0),
        ("var_skipna_np", arr(), nan),
        ("var_nan_np", arr(1, inf, nan), nan),
        ("std_nan_np", arr(1, nan, 3), math.sqrt(2.0)),
        ("std_skipna_np", arr(nan), nan),
        ("std_skipna_np", arr(7, 7, 7, nan), 0.0),
    ],
)
def test_documented_values(name, x, expected):
    assert same(getattr(m, name)(x), expected)


def awkward_series():
    """Magnitudes that make the summation order visible, NaN across block edges."""
    rng = np.random.default_rng(21)
    out = []
    for n in (31, 32, 33, 64, 65, 257):
        x = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 17, n)
        x[rng.random(n) < 0.25] = nan
        x[[0, n // 2, n - 1]] = [nan, -nan, nan] if n % 2 else [1e16, nan, -1e16]
        out.append(x)
    return out


@pytest.mark.parametrize("x", awkward_series(), ids=lambda x: f"n{len(x)}")
def test_pairs_follow_the_skipping_loop(x):
    mean, var = mean_loop(x), var_loop(x)
    for a, b, expected in (("mean_skipna_np", "mean_nan_np", mean), ("var_skipna_np", "var_nan_np", var),
                           ("std_skipna_np", "std_nan_np", math.sqrt(var))):
        assert same(getattr(m, a)(x), expected) and same(getattr(m, b)(x), expected)


@pytest.mark.parametrize(
    "x, expected",
    [
        (arr(1, nan, 3), [-1 / math.sqrt(2.0), nan, 1 / math.sqrt(2.0)]),
        (arr(2, 2, nan), [nan, nan, nan]),
        (arr(nan, nan), [nan, nan]),
        (arr(4), [nan]),
        (arr(), []),
        (arr(inf, 1, 2), [nan, nan, nan]),
    ],
)
def test_zscore_skipna_values(x, expected):
    out = m.zscore_skipna_np(x)
    assert out.dtype == np.float64 and out.shape == (len(x),) and same(out, expected)


@pytest.mark.parametrize("x", awkward_series() + [arr(0.0, 1e-160, nan)], ids=lambda x: f"n{len(x)}")
def test_zscore_skipna_follows_the_loop(x):
    xs = in_unit(x)[0]  # the loops in the data's unit: 1e-160 squared would vanish
    mu, v = mean_loop(xs), var_loop(xs)
    s = math.sqrt(v) if v > 0 else nan
    expected = [nan if math.isnan(a) or math.isnan(s) or math.isinf(s) else (a - mu) / s for a in xs]
    assert same(m.zscore_skipna_np(x), expected)


def test_zscore_skipna_of_values_whose_variance_overflows():
    x = arr(1e308, -1e308, 5.0, nan)
    xs = np.ldexp(x, -1000)
    expected = (xs - np.nanmean(xs)) / np.nanstd(xs, ddof=1)
    np.testing.assert_allclose(m.zscore_skipna_np(x), expected, rtol=1e-15, atol=0)


@pytest.mark.parametrize(
    "x, expected",
    [
        (arr(), (nan, nan, 0)),
        (arr(5), (5.0, nan, 1)),
        (arr(1, nan, 3), (2.0, 2.0, 2)),
        (arr(nan, nan), (nan, nan, 0)),
        (arr(-0.0), (0.0, nan, 1)),
        (arr(inf), (inf, nan, 1)),
        (arr(1, inf), (inf, nan, 2)),
    ],
)
def test_welford_tuple(x, expected):
    out = m.welford_np(x)
    assert type(out) is tuple and len(out) == 3
    assert type(out[0]) is float and type(out[1]) is float and type(out[2]) is int
    assert same(out[:2], expected[:2]) and out[2] == expected[2]


@pytest.mark.parametrize("x", awkward_series(), ids=lambda x: f"n{len(x)}")
def test_welford_follows_the_update_rule(x):
    k, mu, M = 0, 0.0, 0.0
    for v in kept(x):
        k += 1
        d = v - mu
        mu = mu + d / k
        M = M + d * (v - mu)
    mean, var, count = m.welford_np(x)
    assert count == k and same(mean, mu) and same(var, M / (k - 1.0))


@pytest.mark.parametrize("name", NAMES)
def test_strided_input_refused_and_input_kept(name):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        getattr(m, name)(np.arange(6.0)[::2])
    x = arr(1, nan, -0.0, 3)
    before = x.tobytes()
    getattr(m, name)(x)
    assert x.tobytes() == before
