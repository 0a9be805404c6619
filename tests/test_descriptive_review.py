"""Moment statistics and axis means: summation order, degenerate inputs, check order
and layouts, against plain loops written in the documented order."""
import math

import numpy as np
import pytest

from reference import loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = float("nan")


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


def test_zscore_infinite_spread_is_nan_but_large_finite_spread_is_not():
    assert np.isnan(m.zscore_np(np.array([1e200, -1e200]))).all()  # variance overflows to inf
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
