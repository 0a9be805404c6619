"""Moment statistics and axis means against plain Python loops in the same order."""
import math
from fractions import Fraction

import numpy as np
import pytest
import scipy.stats

from reference import FAR_SCALES, close_at_scale, loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = float("nan")


def mean_or_nan(x):
    return NAN if len(x) == 0 else loop_sum(x) / len(x)


def equal_finite(x):
    """Values all equal and finite: no spread, whatever their rounded mean."""
    return len(x) > 0 and math.isfinite(x[0]) and all(v == x[0] for v in x)


def ref_var(x):
    n = len(x)
    if n < 2:
        return NAN
    if equal_finite(x):
        return 0.0
    mu = loop_sum(x) / n
    s = 0.0
    for v in x:
        d = v - mu
        s += d * d
    return s / (n - 1)


def central_sums(x, power):
    """(sum of d*d, sum of the higher power term) with d = x - mean, in index order."""
    mu = loop_sum(x) / len(x)
    s2 = sk = 0.0
    for v in x:
        d = v - mu
        s2 += d * d
        sk += d * (d * d) if power == 3 else (d * d) * (d * d)
    return s2 / len(x), sk / len(x)


def ref_skew(x):
    if len(x) < 3 or equal_finite(x):
        return NAN
    m2, m3 = central_sums(x, 3)
    return m3 / m2**1.5 if m2 > 0 else NAN


def ref_kurt(x):
    if len(x) < 4 or equal_finite(x):
        return NAN
    v2, m4 = central_sums(x, 4)
    return m4 / (v2 * v2) - 3.0 if v2 > 0 else NAN


def samples():
    rng = np.random.default_rng(7)
    yield np.empty(0)
    yield np.array([3.5])
    yield np.array([1.0, 2.0])
    yield np.array([1.0, 2.0, 3.0, 4.0])
    yield rng.standard_normal(1001) * 1e3 + 1e8  # large offset: order matters
    yield np.array([1e16, 1.0, -1e16, 3.0, 0.5])
    yield np.array([-0.0, -0.0, -0.0, -0.0])
    yield np.array([1.0, np.nan, 3.0, 4.0])
    yield np.array([1.0, np.inf, 3.0, 4.0])
    yield np.full(7, 0.1)


@pytest.mark.parametrize("x", list(samples()), ids=lambda x: f"n{len(x)}")
def test_moments_bit_identical_to_loops(x):
    before = x.copy()
    xs = [float(v) for v in x]
    assert same(m.mean_np(x), mean_or_nan(xs))
    assert same(m.var_np(x), ref_var(xs))
    assert same(m.std_np(x), math.sqrt(ref_var(xs)) if not math.isnan(ref_var(xs)) else NAN)
    assert same(m.skew_np(x), ref_skew(xs))
    assert same(m.kurtosis_np(x), ref_kurt(xs))
    assert same(before, x)


def test_documented_values():
    assert math.isnan(m.mean_np(np.array([1.0, 2.0, np.nan])))
    assert math.isnan(m.var_np(np.array([5.0])))
    assert m.std_np(np.array([1.0, 2, 3, 4])) == math.sqrt(5 / 3)
    assert m.skew_np(np.array([1.0, 2, 3])) == 0.0
    assert math.isnan(m.skew_np(np.array([5.0, 5, 5])))
    assert math.isnan(m.kurtosis_np(np.array([1.0, 2, 3])))
    assert m.kurtosis_np(np.array([1.0, 2, 3, 4])) == pytest.approx(-1.36, abs=1e-15)
    assert math.isnan(m.kurtosis_np(np.full(5, 2.0)))


# Data far from 1 are read in their power-of-two unit: at 2^k each result is
# the peer's on the unscaled data times 2^(k p), p = 2 for the variance, 1 for
# the standard deviation, 0 for the rest, also where the plain sums of squares
# overflow or vanish (the normal sample's standard deviation at 2^-600 is
# 2.43e-181, not 0).
@pytest.mark.parametrize("k", [0] + FAR_SCALES)
@pytest.mark.parametrize(
    "x", [np.random.default_rng(1).gamma(2.0, size=5000), np.random.default_rng(3).standard_normal(1000)],
    ids=["gamma", "normal"],
)
def test_agrees_with_scipy(x, k):
    xs = np.ldexp(x, k)
    assert close_at_scale(m.skew_np(xs), scipy.stats.skew(x), k, 0)
    assert close_at_scale(m.kurtosis_np(xs), scipy.stats.kurtosis(x), k, 0)
    assert close_at_scale(m.var_np(xs), np.var(x, ddof=1), k, 2)
    assert close_at_scale(m.std_np(xs), np.std(x, ddof=1), k, 1)
    np.testing.assert_allclose(m.zscore_np(xs), (x - x.mean()) / x.std(ddof=1), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("x", list(samples()), ids=lambda x: f"n{len(x)}")
def test_zscore(x):
    z = m.zscore_np(x)
    assert z.shape == x.shape and z.dtype == np.float64
    n = len(x)
    if n == 0:
        return
    xs = [float(v) for v in x]
    mu = loop_sum(xs) / n
    s = math.sqrt(ref_var(xs)) if n >= 2 and not math.isnan(ref_var(xs)) else NAN
    if math.isnan(s) or math.isinf(s) or s == 0.0:
        assert np.isnan(z).all()
    else:
        assert same(z, [(v - mu) / s for v in xs])


def test_zscore_documented():
    assert np.isnan(m.zscore_np(np.array([3.0, 3.0]))).all()
    assert np.array_equal(m.zscore_np(np.array([1.0, 3.0])), [-1 / math.sqrt(2.0), 1 / math.sqrt(2.0)])
    assert np.isnan(m.zscore_np(np.array([1.0]))).all()
    assert m.zscore_np(np.empty(0)).shape == (0,)
    # A variance that overflows as the values stand is formed in their
    # power-of-two unit: the z-scores of [1, -1, 1].
    r3 = 1 / math.sqrt(3.0)
    assert m.zscore_np(np.array([1e308, -1e308, 1e308])) == pytest.approx([r3, -2 * r3, r3], rel=1e-15)


# ------------------------------------------- equal values with an inexact mean


def _kde_bandwidth(x):
    try:
        return m.kde_gaussian_np(x, 3)[0]
    except ValueError as e:
        return str(e)


def _skipping(f):
    """f over the values with NaN put at both ends and in the middle."""
    return lambda x: f(np.r_[NAN, x[: len(x) // 2], NAN, x[len(x) // 2:], NAN])


# Every function that measures a spread around a rounded mean, reduced to what
# it gives for data without spread.
SPREAD = {
    "var_np": m.var_np,
    "std_np": m.std_np,
    "zscore_np": m.zscore_np,
    "skew_np": m.skew_np,
    "kurtosis_np": m.kurtosis_np,
    "var_skipna_np": _skipping(m.var_skipna_np),
    "var_nan_np": _skipping(m.var_nan_np),
    "std_skipna_np": _skipping(m.std_skipna_np),
    "std_nan_np": _skipping(m.std_nan_np),
    "zscore_skipna_np": _skipping(m.zscore_skipna_np),
    "zscore_outliers_np": lambda x: m.zscore_outliers_np(x, 0.5),
    "trimmed_std_np": lambda x: m.trimmed_std_np(x, 0.1),
    "kde_gaussian_np": _kde_bandwidth,
}


def _kind(v):
    return v if isinstance(v, str) else np.asarray(v, dtype=np.float64)


@pytest.mark.parametrize("name", SPREAD)
@pytest.mark.parametrize("c", [0.1, 0.3, 1 / 3, -0.7, 123456.789, 1e-140 / 3, 1e300 / 7, 1e308])
@pytest.mark.parametrize("n", [4, 10, 1001])
def test_equal_values_have_no_spread(name, c, n):
    # ten 0.1 average to 0.09999999999999999: the spread must still be exactly
    # that of a constant whose mean is exact
    f = SPREAD[name]
    got, exact = _kind(f(np.full(n, c))), _kind(f(np.full(n, 2.0)))
    assert same(got, exact) if not isinstance(got, str) else got == exact


@pytest.mark.parametrize("seed", range(40))
def test_spread_of_constant_runs_against_exact_values(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 600))
    c = float(rng.uniform(-1, 1) * 10.0 ** rng.integers(-60, 60))
    x = np.full(n, c)
    assert m.var_np(x) == 0.0 and m.std_np(x) == 0.0 and m.var_nan_np(np.r_[x, NAN]) == 0.0
    if n >= 4:
        assert math.isnan(m.skew_np(x)) and math.isnan(m.kurtosis_np(x))
    # one value a single ulp away is ordinary data: it keeps the bits of the
    # plain loops, and a spread that the exact variance shows is there
    x[rng.integers(n)] = math.nextafter(c, math.inf)
    xs = x.tolist()
    assert m.var_np(x) == ref_var(xs) > 0.0
    assert same(m.zscore_np(x), [(v - mean_or_nan(xs)) / math.sqrt(ref_var(xs)) for v in xs])
    assert same(m.skew_np(x), ref_skew(xs)) and same(m.kurtosis_np(x), ref_kurt(xs))
    mu = sum(map(Fraction, xs)) / n
    assert sum((Fraction(v) - mu) ** 2 for v in xs) > 0


# ---------------------------------------------------------------- axis means


def col_means(a, skipna=False):
    out = []
    for col in np.asarray(a).T:
        vals = [float(v) for v in col if not (skipna and math.isnan(v))]
        out.append(NAN if not vals else loop_sum(vals) / len(vals))
    return out


@pytest.mark.parametrize("skipna", [None, False, True])
@pytest.mark.parametrize(
    "a",
    [
        np.arange(12.0).reshape(3, 4) * 0.1 + 1e9,
        np.asfortranarray(np.arange(12.0).reshape(3, 4) * 0.37),
        np.arange(40.0).reshape(5, 8)[::2, ::-3] * 1.3,
        np.array([[1.0, np.nan], [np.nan, np.nan], [3.0, 2.0]]),
        np.empty((0, 3)),
        np.empty((3, 0)),
    ],
    ids=["c", "f", "strided", "nan", "0x3", "3x0"],
)
def test_mean_axis_2d(a, skipna):
    skip = bool(skipna)
    assert same(m.mean_axis_np(a, 0, skipna), col_means(a, skip))
    assert same(m.mean_axis_np(a, 1, skipna), col_means(a.T, skip))


def test_mean_axis_1d():
    x = np.array([1.0, np.nan, 3.0])
    assert same(m.mean_axis_np(x, 0, True), [2.0])
    assert same(m.mean_axis_np(x, 0), [NAN])
    assert same(m.mean_axis_np(np.empty(0), 0), [NAN])
    assert same(m.mean_axis_np(np.array([np.nan]), 0, True), [NAN])
    assert same(m.mean_axis_np(np.arange(9.0)[::4][:1], 0), [0.0])


@pytest.mark.parametrize(
    "args, msg",
    [
        ((np.arange(3.0), 1), "mean_axis_np: for 1D input, axis must be 0"),
        ((np.arange(3.0), -1), "mean_axis_np: for 1D input, axis must be 0"),
        ((np.arange(6.0)[::2], 0), "mean_axis_np: 1D input must be contiguous"),
        ((np.arange(6.0)[::-1], 0), "mean_axis_np: 1D input must be contiguous"),
        ((np.ones((2, 3)), -1), "mean_axis_np: for 2D input, axis must be 0 or 1"),
        ((np.ones((2, 3)), 2), "mean_axis_np: for 2D input, axis must be 0 or 1"),
        ((np.ones((2, 3, 4)), 0), "mean_axis_np currently supports only 1D or 2D arrays"),
        ((np.ones((2, 3, 4)), 7), "mean_axis_np currently supports only 1D or 2D arrays"),
        ((np.array(1.0), 0), "mean_axis_np currently supports only 1D or 2D arrays"),
    ],
)
def test_mean_axis_errors(args, msg):
    with pytest.raises(ValueError) as e:
        m.mean_axis_np(*args)
    assert str(e.value) == msg


def last_axis_ref(a):
    a = np.asarray(a)
    if a.ndim == 0:
        return [float(a)]
    rows = a.reshape(-1, a.shape[-1]) if a.size else np.empty((int(np.prod(a.shape[:-1])), a.shape[-1]))
    out = []
    for row in rows:
        s = -0.0
        for v in row:
            s += float(v)
        out.append(s / len(row) if len(row) else NAN)
    return out


@pytest.mark.parametrize(
    "a",
    [
        np.array(5.0),
        np.array([-0.0, -0.0]),
        np.arange(7.0) * 0.1,
        np.zeros((2, 3, 0)),
        np.zeros((0, 3)),
        np.arange(24.0).reshape(2, 3, 4) * 0.3,
        np.asfortranarray(np.arange(24.0).reshape(2, 3, 4) * 0.3),
        np.asfortranarray(np.arange(12.0).reshape(3, 4) * 0.7),
        np.arange(24.0).reshape(2, 3, 4).transpose(1, 0, 2) * 0.9,
        np.arange(60.0).reshape(3, 4, 5)[:, ::-2, 1::2],
        np.arange(120.0).reshape(2, 3, 4, 5).transpose(3, 1, 0, 2),
    ],
)
def test_mean_over_last_axis(a):
    before = a.copy()
    assert same(m.mean_over_last_axis_dyn_np(a), last_axis_ref(a))
    assert same(a, before)


def test_mean_over_last_axis_shapes():
    assert m.mean_over_last_axis_dyn_np(np.zeros((2, 3, 0))).shape == (6,)
    assert m.mean_over_last_axis_dyn_np(np.zeros((2, 3, 4))).shape == (6,)
    assert m.mean_over_last_axis_dyn_np(np.zeros((0, 3))).shape == (0,)
    # Sums start from -0.0, so a row of -0.0 keeps its sign.
    assert math.copysign(1.0, m.mean_over_last_axis_dyn_np(np.array([[-0.0]]))[0]) == -1.0


# ================================== summation order, degenerate inputs, layouts

def sign(v):
    return math.copysign(1.0, v)


# ---------------------------------------------------------------- moments


def test_sums_start_from_positive_zero():
    z = np.array([-0.0, -0.0, -0.0])
    assert sign(m.mean_np(z)) == 1.0
    assert sign(m.mean_np(np.array([-0.0]))) == 1.0
    assert sign(m.mean_axis_np(z, 0)[0]) == 1.0
    assert sign(m.mean_axis_np(z.reshape(3, 1), 0)[0]) == 1.0
    assert sign(m.mean_axis_np(z.reshape(1, 3), 1)[0]) == 1.0
    assert sign(m.mean_axis_np(z.reshape(1, 3), 1, True)[0]) == 1.0


def test_left_to_right_not_pairwise_or_compensated():
    # Each value alone is absorbed by 1e16; only a strict left-to-right sum loses all of them.
    x = np.array([1e16] + [1.0] * 20 + [-1e16])
    assert m.mean_np(x) == loop_sum(x) / len(x) == 0.0
    assert same(m.mean_axis_np(x, 0), [0.0])
    assert same(m.mean_axis_np(np.tile(x, (2, 1)), 1), [0.0, 0.0])
    assert same(m.mean_axis_np(np.tile(x, (2, 1)).T.copy(), 0), [0.0, 0.0])
    assert same(m.mean_over_last_axis_dyn_np(x), [0.0])


def test_variance_two_pass_order():
    x = np.array([1e9 + 0.1, 1e9 + 0.2, 1e9 + 0.3, 1e9 + 0.7])
    mu = loop_sum(x) / 4
    s = 0.0
    for v in x:
        s += (v - mu) * (v - mu)
    assert m.var_np(x) == s / 3
    assert m.std_np(x) == math.sqrt(s / 3)


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_short_inputs(n):
    x = np.arange(float(n))
    assert math.isnan(m.mean_np(x)) == (n == 0)
    assert math.isnan(m.var_np(x)) == (n < 2)
    assert math.isnan(m.std_np(x)) == (n < 2)
    assert math.isnan(m.skew_np(x)) == (n < 3)
    assert math.isnan(m.kurtosis_np(x))
    z = m.zscore_np(x)
    assert z.shape == (n,)
    assert bool(np.isnan(z).any()) == (n == 1)


def test_documented_examples_exactly():
    assert m.std_np(np.array([1.0, 2.0, 3.0, 4.0])) == math.sqrt(5.0 / 3.0)
    assert m.skew_np(np.array([1.0, 2.0, 3.0])) == 0.0
    # v = 1.25, m4 = 2.5625, evaluated as m4 / (v * v) - 3.0
    assert m.kurtosis_np(np.array([1.0, 2.0, 3.0, 4.0])) == 2.5625 / (1.25 * 1.25) - 3.0
    z = m.zscore_np(np.array([1.0, 3.0]))
    s = math.sqrt(2.0)
    assert z.tolist() == [(1.0 - 2.0) / s, (3.0 - 2.0) / s]


def test_skew_uses_power_one_and_a_half():
    x = np.array([0.3, 1.1, 2.9, 7.4, 0.05])
    mu = loop_sum(x) / 5
    s2 = s3 = 0.0
    for v in x:
        d = v - mu
        s2 += d * d
        s3 += d * (d * d)
    assert m.skew_np(x) == (s3 / 5) / math.pow(s2 / 5, 1.5)


@pytest.mark.parametrize(
    "x",
    [
        np.array([2.0, 2.0, 2.0, 2.0]),
        np.array([-0.0, 0.0, -0.0, 0.0]),
        np.array([1.0, 2.0, np.nan, 4.0]),
        np.array([1.0, np.inf, 3.0, 4.0]),
        np.array([-np.inf, 1.0, 2.0, 3.0]),
    ],
)
def test_no_spread_or_nonfinite_gives_nan(x):
    assert math.isnan(m.skew_np(x)) and math.isnan(m.kurtosis_np(x))
    assert np.isnan(m.zscore_np(x)).all()


def test_zscore_of_huge_values_is_finite():
    # the variance of [1e200, -1e200] overflows as they stand, not in their power-of-two unit
    assert m.zscore_np(np.array([1e200, -1e200])).tolist() == [1 / math.sqrt(2.0), -1 / math.sqrt(2.0)]
    assert np.isnan(m.zscore_np(np.array([1e200, -np.inf]))).all()  # an infinite spread
    x = np.array([1e150, -1e150])
    s = math.sqrt((1e150 * 1e150 + -1e150 * -1e150) / 1)
    assert m.zscore_np(x).tolist() == [1e150 / s, -1e150 / s]


def test_moments_leave_input_unchanged():
    x = np.array([4.0, -2.0, np.nan, 7.5])
    before = x.tobytes()
    for f in (m.mean_np, m.var_np, m.std_np, m.zscore_np, m.skew_np, m.kurtosis_np):
        f(x)
    assert x.tobytes() == before


# ---------------------------------------------------------------- mean_axis_np


@pytest.mark.parametrize(
    "x, axis, msg",
    [
        # the 1-D axis check comes before the contiguity check
        (np.arange(6.0)[::2], 1, "mean_axis_np: for 1D input, axis must be 0"),
        (np.arange(6.0)[::-1], -1, "mean_axis_np: for 1D input, axis must be 0"),
        (np.arange(6.0)[::-2], 0, "mean_axis_np: 1D input must be contiguous"),
        (np.ones((2, 3)), 2**62, "mean_axis_np: for 2D input, axis must be 0 or 1"),
        (np.ones((2, 3)), -2, "mean_axis_np: for 2D input, axis must be 0 or 1"),
        (np.empty((0, 0)), 5, "mean_axis_np: for 2D input, axis must be 0 or 1"),
        (np.ones((2, 3, 4)), 1, "mean_axis_np currently supports only 1D or 2D arrays"),
        (np.ones((1, 1, 1, 1)), 0, "mean_axis_np currently supports only 1D or 2D arrays"),
        (np.array(2.0), 0, "mean_axis_np currently supports only 1D or 2D arrays"),
        (np.array(2.0), 9, "mean_axis_np currently supports only 1D or 2D arrays"),
    ],
)
def test_mean_axis_check_order(x, axis, msg):
    with pytest.raises(ValueError) as e:
        m.mean_axis_np(x, axis)
    assert str(e.value) == msg


def test_mean_axis_short_strided_1d_pass():
    assert same(m.mean_axis_np(np.arange(6.0)[::-1][:1], 0), [5.0])
    assert same(m.mean_axis_np(np.arange(6.0)[::-3][:0], 0), [NAN])
    assert same(m.mean_axis_np(np.arange(6.0)[::-3][:0], 0, True), [NAN])


def test_mean_axis_conversion_errors_precede_shape_checks():
    with pytest.raises(TypeError) as e:
        m.mean_axis_np(np.ones((2, 3, 4)), 0, 1)
    assert str(e.value) == "argument 'skipna': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as e:
        m.mean_axis_np(np.ones((2, 3, 4)), 0.0)
    assert str(e.value) == "argument 'axis': 'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as e:
        m.mean_axis_np(np.ones((2, 3), dtype=np.float32), 0)
    assert str(e.value) == "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


def ref_means(rows, skipna):
    out = []
    for row in rows:
        vals = [float(v) for v in row if not (skipna and math.isnan(v))]
        out.append(loop_sum(vals) / len(vals) if vals else NAN)
    return out


@pytest.mark.parametrize("skipna", [False, True])
@pytest.mark.parametrize(
    "a",
    [
        np.array([[1e16, 1.0, np.nan], [1.0, -1e16, 2.0], [-1e16, 1.0, np.nan], [1.0, 1e16, 3.0]]),
        np.arange(35.0).reshape(5, 7)[::-1, ::2] * 0.3 + 1e10,
        np.asfortranarray(np.arange(35.0).reshape(5, 7)) * 0.7,
        np.full((3, 2), np.nan),
        np.arange(6.0).reshape(1, 6),
        np.arange(6.0).reshape(6, 1),
    ],
)
def test_mean_axis_2d_in_row_and_column_order(a, skipna):
    before = a.copy()
    assert same(m.mean_axis_np(a, 0, skipna), ref_means(a.T, skipna))
    assert same(m.mean_axis_np(a, 1, skipna), ref_means(a, skipna))
    assert same(a, before)


def test_mean_axis_results_are_new_arrays():
    r = m.mean_axis_np(np.ones((2, 3)), 0)
    assert r.shape == (3,) and r.flags.writeable and type(r.base).__name__ == "PySliceContainer"
    assert m.mean_axis_np(np.ones((2, 3)), 1).shape == (2,)
    assert same(m.mean_axis_np(np.empty((0, 2)), 0), [NAN, NAN])
    assert m.mean_axis_np(np.empty((0, 2)), 1).shape == (0,)


# ---------------------------------------------------------------- mean_over_last_axis_dyn_np


def last_axis_rows(a):
    """Rows of the last axis in logical row-major order of the leading indices."""
    lead = a.shape[:-1]
    return [a[idx] for idx in np.ndindex(*lead)] if lead else [a]


def ref_last(a):
    if a.ndim == 0:
        return [float(a)]
    out = []
    for row in last_axis_rows(a):
        out.append(loop_sum(row, -0.0) / len(row) if len(row) else NAN)
    return out


BASE = np.array([1e16, 1.0, -1e16, 3.0, -0.0, 0.25, 7.0, -2.5] * 15)[:120] * np.linspace(1, 2, 120)


@pytest.mark.parametrize(
    "a",
    [
        BASE.reshape(2, 3, 4, 5),
        np.asfortranarray(BASE.reshape(2, 3, 4, 5)),
        np.asfortranarray(BASE.reshape(4, 5, 6)),
        BASE.reshape(4, 5, 6).transpose(2, 0, 1),
        BASE.reshape(4, 5, 6).transpose(0, 2, 1),
        BASE.reshape(2, 3, 4, 5).transpose(1, 3, 0, 2),
        BASE.reshape(4, 5, 6)[::-1, 1::2, ::-2],
        BASE.reshape(4, 30)[:, ::3],
        np.asfortranarray(BASE.reshape(8, 15)),
        BASE.reshape(8, 15).T,
        BASE[::-1],
        BASE[::7],
        np.broadcast_to(BASE[:5], (3, 4, 5)),
        np.broadcast_to(BASE[:4].reshape(4, 1), (4, 6)),
    ],
    ids=lambda a: f"{a.shape}{a.strides}",
)
def test_last_axis_rows_in_logical_row_major_order(a):
    before = np.array(a, copy=True)
    r = m.mean_over_last_axis_dyn_np(a)
    assert r.shape == (int(np.prod(a.shape[:-1])),) and r.dtype == np.float64
    assert same(r, ref_last(a))
    assert same(a, before)


def test_last_axis_negative_zero_and_degenerate_shapes():
    assert sign(m.mean_over_last_axis_dyn_np(np.array([-0.0, -0.0]))[0]) == -1.0
    assert sign(m.mean_over_last_axis_dyn_np(np.full((2, 2, 3), -0.0))[3]) == -1.0
    zd = m.mean_over_last_axis_dyn_np(np.array(-0.0))
    assert zd.shape == (1,) and sign(zd[0]) == -1.0
    assert same(m.mean_over_last_axis_dyn_np(np.array(np.nan)), [NAN])
    assert same(m.mean_over_last_axis_dyn_np(np.empty((2, 0))), [NAN, NAN])
    assert same(m.mean_over_last_axis_dyn_np(np.empty((2, 3, 0))), [NAN] * 6)
    assert m.mean_over_last_axis_dyn_np(np.empty((3, 0, 4))).shape == (0,)
    # one dimension of length 0: one row of no values
    assert same(m.mean_over_last_axis_dyn_np(np.empty((0,))), [NAN])


def max_dims():
    """The running NumPy's limit on dimensions (32 in 1.x, 64 in 2.x)."""
    for nd in (64, 32):
        try:
            np.empty((1,) * nd)
            return nd
        except ValueError:
            pass
    raise AssertionError("NumPy allows fewer than 32 dimensions")


def test_last_axis_many_dimensions():
    a = np.arange(8.0).reshape((2,) + (1,) * (max_dims() - 3) + (2, 2))
    assert a.ndim == max_dims()
    assert same(m.mean_over_last_axis_dyn_np(a), ref_last(a))
    t = a.transpose(list(range(a.ndim))[::-1])
    assert same(m.mean_over_last_axis_dyn_np(t), ref_last(t))


def test_last_axis_wrong_kinds():
    with pytest.raises(TypeError) as e:
        m.mean_over_last_axis_dyn_np(np.ones((2, 2), dtype=np.float32))
    assert str(e.value) == "argument 'arr': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as e:
        m.mean_over_last_axis_dyn_np(1.0)
    assert str(e.value) == "argument 'arr': 'float' object cannot be converted to 'PyArray<T, D>'"
