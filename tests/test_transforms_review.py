"""Array transforms: signatures, result kinds, check order, messages and the
documented values, derived by hand or from plain loops in the stated order."""
import inspect
import math
import time

import numpy as np
import pytest

from reference import same
from marlox_stats import marlox_stats_rs as m

nan, inf = math.nan, math.inf
arr = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731
strided = np.arange(6.0)[::2]

SIGNATURES = {
    "cumsum_np": "(a)",
    "cummean_np": "(a)",
    "diff_np": "(a, periods=1)",
    "pct_change_np": "(a, periods)",
    "ewma_np": "(a, alpha)",
    "minmax_scale_np": "(a)",
    "sign_mask_np": "(a)",
    "demean_with_signs_np": "(a)",
    "ecdf_np": "(a)",
    "quantile_bins_np": "(a, n_bins)",
    "pad_nan_np": "(n)",
    "kde_gaussian_np": "(x, points=200, bandwidth=None)",
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures_and_descriptions(name):
    f = getattr(m, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    if name == "kde_gaussian_np":
        doc = f.__doc__
        assert doc.startswith("Gaussian kernel density estimate evaluated on a regular grid.")
        for word in ("Scott", "3h", "grid", "density", "points", "bandwidth"):
            assert word in doc
    else:
        assert f.__doc__ is None


# ---------------------------------------------------------------- documented values


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: m.diff_np(arr(1, 4, 9)), [nan, 3, 5]),
        (lambda: m.diff_np(arr(1, 4, 9), -1), [-3, -5, nan]),
        (lambda: m.diff_np(arr(1, 4, 9), 0), [0, 0, 0]),
        (lambda: m.diff_np(arr(1, nan, -inf), 0), [0, 0, 0]),
        (lambda: m.diff_np(arr(1, 4, 9), 3), [nan, nan, nan]),
        (lambda: m.diff_np(arr(1, 4, 9), -3), [nan, nan, nan]),
        (lambda: m.diff_np(arr(), 0), []),
        (lambda: m.diff_np(arr(1, 4, 9), -(2**63)), [nan, nan, nan]),
        (lambda: m.pct_change_np(arr(2, 0, 4), 1), [nan, -1.0, nan]),
        (lambda: m.pct_change_np(arr(2, 0, 4), -1), [nan, -1.0, nan]),
        (lambda: m.pct_change_np(arr(2, 0, 4), 0), [nan, nan, nan]),
        (lambda: m.pct_change_np(arr(), 0), []),
        (lambda: m.pct_change_np(arr(-0.0, 3, nan, 5), 1), [nan, nan, nan, nan]),
        (lambda: m.pct_change_np(arr(4, 2, 1), 2), [nan, nan, -0.75]),
        (lambda: m.pct_change_np(arr(1, 2, 3), -(2**63)), [nan, nan, nan]),
        (lambda: m.ewma_np(arr(1, 3), 0.5), [1, 2]),
        (lambda: m.ewma_np(arr(1, -3, 8), 1), [1, -3, 8]),
        (lambda: m.ewma_np(arr(1, nan, 3), 0.5), [1, nan, nan]),
        (lambda: m.ewma_np(arr(-0.0), 0.5), [-0.0]),
        (lambda: m.ewma_np(arr(), 1.0), []),
        # the running sum starts from +0.0
        (lambda: m.cumsum_np(arr(-0.0, -0.0)), [0.0, 0.0]),
        (lambda: m.cumsum_np(arr(1, nan, 2)), [1, nan, nan]),
        (lambda: m.cummean_np(arr(-0.0, 2, 4)), [0.0, 1.0, 2.0]),
        (lambda: m.cummean_np(arr()), []),
        (lambda: m.pad_nan_np(0), []),
        (lambda: m.pad_nan_np(3), [nan, nan, nan]),
    ],
)
def test_float_results(call, expected):
    out = call()
    assert type(out) is np.ndarray and out.dtype == np.float64 and same(out, expected)


@pytest.mark.parametrize(
    "x, scaled, lo, hi",
    [
        (arr(2, 4, 6), [0, 0.5, 1], 2.0, 6.0),
        (arr(5, 5), [0, 0], 5.0, 5.0),
        (arr(nan, 1, 2), [nan, nan, nan], nan, nan),
        (arr(3, nan, 1), [1, nan, 0], 1.0, 3.0),
        (arr(), [], nan, nan),
        (arr(-0.0, 0.0), [0, 0], -0.0, -0.0),
        (arr(0.0, -0.0, 4), [0, -0.0, 1], 0.0, 4.0),
    ],
)
def test_minmax_scale_tuple(x, scaled, lo, hi):
    out = m.minmax_scale_np(x)
    assert type(out) is tuple and len(out) == 3
    a, b, c = out
    assert a.dtype == np.float64 and type(b) is float and type(c) is float
    assert same(a, scaled) and same(b, lo) and same(c, hi)


def test_signs_are_int8():
    s = m.sign_mask_np(arr(-2, 0, -0.0, nan, 3))
    assert s.dtype == np.int8 and s.tolist() == [-1, 0, 0, 0, 1]
    assert m.sign_mask_np(arr()).dtype == np.int8


@pytest.mark.parametrize(
    "x, d, s",
    [
        (arr(1, 2, 6), [-2, -1, 3], [-1, -1, 1]),
        (arr(-0.0), [-0.0], [0]),
        (arr(1, nan), [nan, nan], [0, 0]),
        (arr(), [], []),
    ],
)
def test_demean_with_signs_tuple(x, d, s):
    out = m.demean_with_signs_np(x)
    assert type(out) is tuple and len(out) == 2
    assert out[0].dtype == np.float64 and out[1].dtype == np.int8
    assert same(out[0], d) and out[1].tolist() == s


def test_ecdf_tuple():
    xs, y = m.ecdf_np(arr(3, 1, 2))
    assert xs.dtype == y.dtype == np.float64
    assert same(xs, [1, 2, 3]) and same(y, [1 / 3, 2 / 3, 1.0])
    xs, y = m.ecdf_np(np.array([0.0, nan, -0.0, -nan, -inf]))
    assert same(xs[:4], [nan, -inf, -0.0, 0.0]) and np.signbit(xs[0]) and not np.signbit(xs[4])
    assert same(y, [0.2, 0.4, 0.6, 0.8, 1.0])
    e = m.ecdf_np(arr())
    assert type(e) is tuple and [len(a) for a in e] == [0, 0] and e[1].dtype == np.float64


# ---------------------------------------------------------------- bins


@pytest.mark.parametrize(
    "x, n_bins, expected",
    [
        (arr(10, 30, 20, 40), 2, [0, 1, 0, 1]),
        (arr(10, 30, 20, 40), 3, [0, 2, 1, 2]),
        (arr(10, 30, 20, 40), 5, [1, 3, 2, 4]),
        (arr(7, 7, 7), 3, [0, 1, 2]),
        (arr(1, 2, 3), 7, [2, 4, 6]),  # ends 0, 0, 1, 1, 2, 2, 3
        (arr(2, 1), 1, [0, 0]),
    ],
)
def test_quantile_bins_labels(x, n_bins, expected):
    out = m.quantile_bins_np(x, n_bins)
    assert out.dtype == np.int64 and out.tolist() == expected


def test_quantile_bins_huge_count_is_fast_and_exact():
    x = arr(3, 1, 2)
    start = time.monotonic()
    out = m.quantile_bins_np(x, 2**63)
    assert time.monotonic() - start < 5.0
    ranks = [2, 0, 1]
    assert out.tolist() == [((r + 1) * 2**63 - 1) // 3 for r in ranks]


@pytest.mark.parametrize("n_bins", [2**63 + 1, 2**64 - 1])
def test_quantile_bins_labels_past_int64_are_refused(n_bins):
    # the top label n_bins - 1 has no int64 representation
    with pytest.raises(OverflowError, match="^n_bins is too large: bin labels must fit in int64$"):
        m.quantile_bins_np(arr(5, 4), n_bins)
    assert m.quantile_bins_np(arr(), n_bins).tolist() == []


def test_quantile_bins_checks():
    with pytest.raises(ValueError, match="^n_bins must be >= 1$"):
        m.quantile_bins_np(arr(), 0)
    with pytest.raises(ValueError, match="^n_bins must be >= 1$"):
        m.quantile_bins_np(strided, 0)
    with pytest.raises(OverflowError):
        m.quantile_bins_np(strided, -1)
    with pytest.raises(OverflowError):
        m.quantile_bins_np(arr(1), 2**64)
    with pytest.raises(TypeError, match="^argument 'n_bins': "):
        m.quantile_bins_np(arr(1), 2.0)
    out = m.quantile_bins_np(arr(), 5)
    assert out.dtype == np.int64 and out.shape == (0,)


# ---------------------------------------------------------------- argument rules


def test_periods_conversion():
    x = arr(1, 2, 3)
    with pytest.raises(TypeError, match="^argument 'periods': "):
        m.diff_np(x, None)
    with pytest.raises(TypeError, match="^argument 'periods': "):
        m.pct_change_np(x, 1.0)
    with pytest.raises(OverflowError):
        m.diff_np(x, 2**63)
    with pytest.raises(TypeError, match=r"^pct_change_np\(\) missing 1 required positional argument: 'periods'$"):
        m.pct_change_np(x)
    with pytest.raises(TypeError, match=r"^diff_np\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        m.diff_np(x, 1, 2)
    assert same(m.diff_np(x, periods=-2), [-2, nan, nan])


def test_ewma_check_order():
    with pytest.raises(ValueError, match="^alpha must satisfy 0 < alpha <= 1$"):
        m.ewma_np(arr(), 0.0)
    with pytest.raises(ValueError, match="^alpha must satisfy 0 < alpha <= 1$"):
        m.ewma_np(strided, 2)
    with pytest.raises(TypeError, match="^argument 'alpha': "):
        m.ewma_np(strided, "0.5")
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.ewma_np(strided, 1)
    assert same(m.ewma_np(strided[:1], 0.25), [0.0])


@pytest.mark.parametrize("name", ["cumsum_np", "cummean_np", "minmax_scale_np", "sign_mask_np",
                                  "demean_with_signs_np", "ecdf_np"])
def test_strided_input_refused(name):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        getattr(m, name)(strided)


def test_pad_nan_conversion():
    with pytest.raises(OverflowError):
        m.pad_nan_np(-1)
    with pytest.raises(TypeError, match="^argument 'n': "):
        m.pad_nan_np(2.0)
    assert m.pad_nan_np(True).shape == (1,)


# ---------------------------------------------------------------- kde


def test_kde_single_value_hand_computed():
    g, d = m.kde_gaussian_np(arr(0.0), 3, 1.0)
    assert same(g, [-3.0, 0.0, 3.0])
    norm = 1.0 / (1.0 * 1 * 2.5066282746310002)
    assert same(d, [norm * math.exp(-4.5), norm * 1.0, norm * math.exp(-4.5)])


def test_kde_documented_cases():
    with pytest.raises(ValueError, match="^cannot infer a bandwidth from constant or singleton data; "
                                         "pass bandwidth explicitly$"):
        m.kde_gaussian_np(arr(1, 1, 1))
    g, d = m.kde_gaussian_np(arr(1, 1, 1), bandwidth=1.0)
    assert g.shape == d.shape == (200,) and g[0] == -2.0 and g[-1] == 4.0
    step = 6.0 / 199
    assert same(g, [-2.0 + step * i for i in range(200)])
    g, d = m.kde_gaussian_np(arr(1, 5), points=1, bandwidth=0.5)
    assert same(g, [((1 - 1.5) + (5 + 1.5)) * 0.5])
    g, d = m.kde_gaussian_np(arr(2.5), 4, 2)
    assert g.dtype == d.dtype == np.float64 and len(g) == 4


def test_kde_scott_bandwidth():
    x = arr(0, 1, 3, 7)
    mu = (((0.0 + 0.0) + 1.0) + 3.0 + 7.0) / 4
    v = ((0 - mu) ** 2 + (1 - mu) ** 2 + (3 - mu) ** 2 + (7 - mu) ** 2) / 3
    h = 4 ** -0.2 * math.sqrt(v)
    g, _ = m.kde_gaussian_np(x, 2)
    assert same(g, [0.0 - 3.0 * h, (0.0 - 3.0 * h) + ((7.0 + 3.0 * h) - (0.0 - 3.0 * h)) * 1.0])


@pytest.mark.parametrize(
    "args, kw, exc, message",
    [
        ((strided, 0), {"bandwidth": -1.0}, TypeError, "^The given array is not contiguous$"),
        ((strided,), {"bandwidth": "wide"}, TypeError, "^argument 'bandwidth': "),
        ((arr(), 0), {"bandwidth": nan}, ValueError, "^points must be >= 1$"),
        ((arr(),), {"bandwidth": nan}, ValueError, "^x must have at least 1 element$"),
        ((arr(inf, 1),), {"bandwidth": 0.0}, ValueError, "^x contains NaN or Inf$"),
        ((arr(-nan),), {}, ValueError, "^x contains NaN or Inf$"),
        ((arr(1, 2),), {"bandwidth": inf}, ValueError, "^bandwidth must be a positive finite number$"),
        ((arr(1, 2),), {"bandwidth": -inf}, ValueError, "^bandwidth must be a positive finite number$"),
        ((arr(1, 2),), {"bandwidth": -2.0}, ValueError, "^bandwidth must be a positive finite number$"),
        ((arr(3.0),), {}, ValueError, "^cannot infer a bandwidth from constant"),
        ((arr(3.0),), {"bandwidth": None}, ValueError, "^cannot infer a bandwidth from constant"),
        ((arr(1),), {"points": -1}, OverflowError, None),
    ],
)
def test_kde_check_order(args, kw, exc, message):
    with pytest.raises(exc, match=message):
        m.kde_gaussian_np(*args, **kw)
