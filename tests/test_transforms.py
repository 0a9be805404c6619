import inspect
import math
import struct
import time

import numpy as np
import pandas as pd
import pytest

from reference import loop_sum, outputs_by_thread_count, same
from marlox_stats import marlox_stats_rs as m

nan, inf = math.nan, math.inf
arr = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731
I64_MIN = -(2**63)


def rng_series(n, seed=0, nans=0.0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n) * 3 + 1
    if nans:
        x[rng.random(n) < nans] = nan
    return x


def bits(x):
    return [struct.pack("<d", float(v)) for v in x]


def total_key(v):
    b = struct.unpack("<Q", struct.pack("<d", v))[0]
    return b ^ 0xFFFFFFFFFFFFFFFF if b >> 63 else b | (1 << 63)


# ---------------------------------------------------------------- cumulative


@pytest.mark.parametrize("x", [arr(), arr(2.5), rng_series(1000), arr(1, nan, 2), arr(inf, -inf, 1)])
def test_cumsum_cummean_exact(x):
    s, sums, means = 0.0, [], []
    for i, v in enumerate(x):
        s += float(v)
        sums.append(s)
        means.append(s / (i + 1))
    assert same(m.cumsum_np(x), sums)
    with np.errstate(invalid="ignore"):
        assert same(m.cumsum_np(x), np.cumsum(x))
    assert same(m.cummean_np(x), means)


# ---------------------------------------------------------------- lags


def ref_lagged(x, periods, f, at_zero):
    n = len(x)
    if periods == 0:
        return [at_zero] * n
    return [f(float(x[i]), float(x[i - periods])) if 0 <= i - periods < n else nan for i in range(n)]


@pytest.mark.parametrize("periods", [1, 2, -1, -3, 0, 9, 10, 11, -10, 2**63 - 1, I64_MIN])
def test_diff_pct_change_exact(periods):
    x = arr(1, 4, 0, nan, -2, 9, 0, 5, 3, 7)
    assert same(m.diff_np(x, periods), ref_lagged(x, periods, lambda a, b: a - b, 0.0))
    pct = ref_lagged(x, periods, lambda a, b: (a - b) / b if b != 0 else nan, nan)
    assert same(m.pct_change_np(x, periods), pct)


@pytest.mark.parametrize(
    "fn, x, kw, expected",
    [
        (m.diff_np, arr(1, 4, 9), {}, [nan, 3, 5]),
        (m.diff_np, arr(1, 4, 9), {"periods": -1}, [-3, -5, nan]),
        (m.diff_np, arr(1, nan, 9), {"periods": 0}, [0, 0, 0]),
        (m.diff_np, arr(1, 4, 9), {"periods": 3}, [nan, nan, nan]),
        (m.diff_np, arr(), {"periods": I64_MIN}, []),
        (m.pct_change_np, arr(2, 0, 4), {"periods": 1}, [nan, -1.0, nan]),
        (m.pct_change_np, arr(2, 0, 4), {"periods": 0}, [nan, nan, nan]),
        (m.pct_change_np, arr(1, 2, 3), {"periods": I64_MIN}, [nan, nan, nan]),
    ],
)
def test_lag_cases(fn, x, kw, expected):
    assert same(fn(x, **kw), expected)


@pytest.mark.parametrize("periods", [1, 3, -2])
def test_lags_agree_with_pandas(periods):
    x = rng_series(500, seed=4)
    s = pd.Series(x)
    assert same(m.diff_np(x, periods), s.diff(periods).to_numpy())
    np.testing.assert_allclose(m.pct_change_np(x, periods), s.pct_change(periods).to_numpy(), rtol=1e-12)


# ---------------------------------------------------------------- ewma


@pytest.mark.parametrize("alpha", [0.5, 0.1, 1.0, 5e-324, 0.3])
def test_ewma_exact(alpha):
    for x in (rng_series(300, seed=5), arr(1, 3), arr(1, nan, 3), arr()):
        ref, e = [], None
        for i, v in enumerate(x):
            e = float(v) if i == 0 else (1.0 - alpha) * e + alpha * float(v)
            ref.append(e)
        assert same(m.ewma_np(x, alpha), ref)
    assert same(m.ewma_np(arr(1, 3), 0.5), [1, 2]) and same(m.ewma_np(arr(1, -2, 7), 1.0), [1, -2, 7])


def test_ewma_agrees_with_pandas():
    x = rng_series(2000, seed=6)
    for alpha in (0.05, 0.5, 0.9):
        ref = pd.Series(x).ewm(alpha=alpha, adjust=False).mean().to_numpy()
        np.testing.assert_allclose(m.ewma_np(x, alpha), ref, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("alpha", [0.0, -0.0, -0.5, 1.5, 1.0000000000000002, nan, inf, -inf])
def test_ewma_alpha_refused_before_contiguity(alpha):
    with pytest.raises(ValueError, match=r"^alpha must satisfy 0 < alpha <= 1$"):
        m.ewma_np(arr(1, 2), alpha)
    with pytest.raises(ValueError, match=r"^alpha must satisfy 0 < alpha <= 1$"):
        m.ewma_np(np.arange(6.0)[::2], alpha)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.ewma_np(np.arange(6.0)[::2], 0.5)


# ---------------------------------------------------------------- scaling and signs


@pytest.mark.parametrize(
    "x, scaled, lo, hi",
    [
        (arr(2, 4, 6), [0, 0.5, 1], 2.0, 6.0),
        (arr(5, 5), [0, 0], 5.0, 5.0),
        (arr(7), [0], 7.0, 7.0),
        (arr(nan, 1, 2), [nan, nan, nan], nan, nan),
        (arr(1, nan, 3), [0, nan, 1], 1.0, 3.0),
        (arr(), [], nan, nan),
        (arr(inf, inf), [0, 0], inf, inf),
        (arr(-inf, 0, inf), [nan, nan, nan], -inf, inf),
    ],
)
def test_minmax_scale(x, scaled, lo, hi):
    out, a, b = m.minmax_scale_np(x)
    assert same(out, scaled) and same(a, lo) and same(b, hi)


def seq_min_max(x):
    lo = hi = float(x[0])
    for v in x[1:]:
        lo = v if v < lo else lo
        hi = v if v > hi else hi
    return float(lo), float(hi)


@pytest.mark.parametrize("seed", range(6))
def test_minmax_first_extreme_kept(seed):
    # the first value equal to an extreme is reported: the sign of a zero extreme shows it
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40))
    x = rng.choice(np.array([0.0, -0.0, 1.0, 2.5, nan]), n)
    if seed % 2:
        x = -x
    out, lo, hi = m.minmax_scale_np(x)
    assert same((lo, hi), seq_min_max(x))
    if hi != lo:
        assert same(out, [(float(v) - lo) / (hi - lo) for v in x])


def test_sign_mask():
    out = m.sign_mask_np(arr(-2, 0, -0.0, nan, 3, -inf, 5e-324))
    assert out.dtype == np.int8 and out.tolist() == [-1, 0, 0, 0, 1, -1, 1]


@pytest.mark.parametrize("x", [arr(), arr(3), arr(1, 2, 3), arr(1, nan), rng_series(100, seed=9)])
def test_demean_with_signs(x):
    d, s = m.demean_with_signs_np(x)
    mu = loop_sum(x) / len(x) if len(x) else nan
    ref = [float(v) - mu for v in x]
    assert same(d, ref) and s.dtype == np.int8
    assert s.tolist() == [1 if v > 0 else -1 if v < 0 else 0 for v in ref]


# ---------------------------------------------------------------- ecdf and bins

SPECIALS = [nan, -nan, 1.0, -0.0, 0.0, inf, -inf, 0.0, -0.0, 2.0, -nan, 5e-324, -5e-324]


@pytest.mark.parametrize("n", [0, 1, 3, 63, 64, 65, 1000])
def test_ecdf_total_order(n):
    rng = np.random.default_rng(n)
    x = rng.choice(np.array(SPECIALS + list(rng.standard_normal(20)), dtype=np.float64), n)
    before = x.copy()
    xs, y = m.ecdf_np(x)
    assert bits(xs) == bits(sorted((float(v) for v in x), key=total_key))
    assert same(y, [(i + 1) / n for i in range(n)])
    assert bits(x) == bits(before)


def test_ecdf_cases():
    xs, y = m.ecdf_np(arr(3, 1, 2))
    assert same(xs, [1, 2, 3]) and same(y, [1 / 3, 2 / 3, 1.0])
    x = rng_series(200_000, seed=12)
    assert same(m.ecdf_np(x)[0], np.sort(x))


def bins_ref(x, n_bins):
    """Bin runs of the stable total-order ranking, as a per-bin loop."""
    n = len(x)
    order = sorted(range(n), key=lambda i: total_key(float(x[i])))
    out, start = [None] * n, 0
    for b in range(n_bins):
        end = n if b == n_bins - 1 else (b + 1) * n // n_bins
        for r in range(start, end):
            out[order[r]] = b
        start = end
    return out


@pytest.mark.parametrize(
    "x, n_bins, expected",
    [
        (arr(10, 30, 20, 40), 2, [0, 1, 0, 1]),
        (arr(10, 30, 20, 40), 3, [0, 2, 1, 2]),
        (arr(10, 30, 20, 40), 5, [1, 3, 2, 4]),
        (arr(10, 30, 20, 40), 1, [0, 0, 0, 0]),
        (arr(5, 5, 5, 5), 2, [0, 0, 1, 1]),
        (np.array([0.0, -0.0, nan, -nan]), 4, [2, 1, 3, 0]),
        (arr(1, 2), 2**63, [2**62 - 1, 2**63 - 1]),
    ],
)
def test_quantile_bins_cases(x, n_bins, expected):
    out = m.quantile_bins_np(x, n_bins)
    assert out.dtype == np.int64 and out.tolist() == expected


@pytest.mark.parametrize("n", [1, 2, 7, 64, 100, 513])
def test_quantile_bins_against_bin_loop(n):
    rng = np.random.default_rng(n)
    x = rng.choice(np.array(SPECIALS + list(rng.standard_normal(n)), dtype=np.float64), n)
    before = x.copy()
    for n_bins in {1, 2, 3, 4, 10, n - 1 or 1, n, n + 1, 2 * n + 3, 1000}:
        assert m.quantile_bins_np(x, n_bins).tolist() == bins_ref(x, n_bins)
    assert bits(x) == bits(before)


def test_sorting_constant_input():
    x = np.full(100, -0.0)
    xs, _ = m.ecdf_np(x)
    assert bits(xs) == bits(x)
    assert m.quantile_bins_np(x, 3).tolist() == bins_ref(x, 3)


def test_quantile_bins_huge_counts():
    x = rng_series(1000, seed=13)
    ranks = np.argsort(x, kind="stable").argsort()
    nb = 2**62 + 12345
    expected = [((int(r) + 1) * nb - 1) // 1000 for r in ranks]
    assert m.quantile_bins_np(x, nb).tolist() == expected
    # labels past int64 cannot be represented
    for big in (2**63 + 1, 2**64 - 1):
        with pytest.raises(OverflowError, match="n_bins"):
            m.quantile_bins_np(x, big)
    assert m.quantile_bins_np(arr(), 2**64 - 1).tolist() == []


def test_quantile_bins_errors():
    with pytest.raises(ValueError, match="^n_bins must be >= 1$"):
        m.quantile_bins_np(np.arange(6.0)[::2], 0)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.quantile_bins_np(np.arange(6.0)[::2], 2)
    assert m.quantile_bins_np(arr(), 3).dtype == np.int64


# ---------------------------------------------------------------- pad_nan


def test_pad_nan():
    assert m.pad_nan_np(0).shape == (0,)
    out = m.pad_nan_np(5)
    assert out.dtype == np.float64 and np.isnan(out).all() and len(out) == 5
    for n in (2**61, 2**63 - 1, 2**64 - 1):
        with pytest.raises(MemoryError):
            m.pad_nan_np(n)
    with pytest.raises(OverflowError):
        m.pad_nan_np(-1)


# ---------------------------------------------------------------- kde


def kde_ref(x, points, h=None):
    x, n = [float(v) for v in x], len(x)
    if h is None:
        mu = loop_sum(x) / n
        h = n**-0.2 * math.sqrt(loop_sum((a - mu) ** 2 for a in x) / (n - 1))
    lo, hi = min(x) - 3.0 * h, max(x) + 3.0 * h
    step = (hi - lo) / max(points - 1, 1)
    grid = [(lo + hi) * 0.5] if points == 1 else [lo + step * i for i in range(points)]
    c, norm = 1.0 / h, 1.0 / (h * n * 2.5066282746310002)
    return grid, [norm * loop_sum(math.exp(c * (g - v) * (c * (g - v) * -0.5)) for v in x) for g in grid]


@pytest.mark.parametrize("points", [1, 2, 7, 200])
def test_kde_exact(points):
    x = rng_series(40, seed=14)
    assert same(m.kde_gaussian_np(x, points), kde_ref(x, points))
    assert same(m.kde_gaussian_np(x, points=points, bandwidth=0.7), kde_ref(x, points, 0.7))


def test_kde_cases():
    g, d = m.kde_gaussian_np(arr(1, 1, 1), bandwidth=1.0)
    assert len(g) == len(d) == 200 and g[0] == -2.0 and g[-1] == 4.0
    g, d = m.kde_gaussian_np(arr(1, 3), 1, 1.0)
    assert same(g, [2.0])
    g, d = m.kde_gaussian_np(arr(5), bandwidth=2.0)
    assert g[0] == -1.0 and g[-1] == 11.0
    assert m.kde_gaussian_np.__doc__.startswith("Gaussian kernel density estimate evaluated on a regular grid.")


def test_kde_agrees_with_scipy():
    from scipy.stats import gaussian_kde

    x = rng_series(3000, seed=15)
    g, d = m.kde_gaussian_np(x, 300)
    np.testing.assert_allclose(d, gaussian_kde(x)(g), rtol=1e-9, atol=1e-15)


@pytest.mark.parametrize(
    "scale", [2.0**k for k in (-600, -520, -300, -64, 3, 200, 400, 510)] + [1e-158, 1e-150, 1e150, 1e153],
    ids=lambda s: f"{s:.0e}",
)
def test_kde_scaled_data(scale):
    # The estimate has the unit of the data: for x * 2^k the grid is x's grid
    # times 2^k and the density x's density times 2^-k, each rounded once;
    # decimal factors agree up to rounding. Scott's rule and a given bandwidth.
    x = rng_series(300, seed=16)
    k = math.frexp(scale)[1] - 1 if math.frexp(scale)[0] == 0.5 else None
    for h in (None, 0.3):
        g0, d0 = m.kde_gaussian_np(x, 64, h)
        g, d = m.kde_gaussian_np(x * scale, 64, None if h is None else h * scale)
        if k is not None:
            assert same(g, np.ldexp(g0, k)) and same(d, np.ldexp(d0, -k))
        else:
            # A grid point near 0 is a difference: its error is relative to the span.
            assert np.allclose(g / scale, g0, rtol=1e-12, atol=1e-12 * np.ptp(g0))
            assert np.allclose(d * scale, d0, rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    "args, kw, message",
    [
        ((np.arange(6.0)[::2], 0), {}, "^The given array is not contiguous$"),
        ((arr(), 0), {}, "^points must be >= 1$"),
        ((arr(),), {"bandwidth": -1.0}, "^x must have at least 1 element$"),
        ((arr(1, nan),), {"bandwidth": -1.0}, "^x contains NaN or Inf$"),
        ((arr(1, -inf),), {}, "^x contains NaN or Inf$"),
        ((arr(1, 2),), {"bandwidth": 0.0}, "^bandwidth must be a positive finite number$"),
        ((arr(1, 2),), {"bandwidth": -0.0}, "^bandwidth must be a positive finite number$"),
        ((arr(1, 2),), {"bandwidth": nan}, "^bandwidth must be a positive finite number$"),
        ((arr(1, 1, 1),), {}, "^cannot infer a bandwidth from constant or singleton data; pass bandwidth explicitly$"),
        ((arr(4),), {"bandwidth": None}, "^cannot infer a bandwidth"),
        ((arr(1.7e308, -1.7e308),), {}, "^cannot infer a bandwidth"),  # the spread itself overflows
    ],
)
def test_kde_errors(args, kw, message):
    exc = TypeError if "contiguous" in message else ValueError
    with pytest.raises(exc, match=message):
        m.kde_gaussian_np(*args, **kw)


def test_kde_unallocatable_grid():
    for points in (2**61, 2**64 - 1):
        with pytest.raises(MemoryError):
            m.kde_gaussian_np(arr(1.0), points, 1.0)


def test_kde_independent_of_thread_count():
    code = (
        "import sys, numpy as np; from marlox_stats import marlox_stats_rs as m;"
        "x = np.random.default_rng(3).standard_normal(5000);"
        "g, d = m.kde_gaussian_np(x, 257); sys.stdout.write((g.tobytes() + d.tobytes()).hex())"
    )
    assert len(outputs_by_thread_count(code, ("1", "3", "8"))) == 1


# ============================== signatures, result kinds, check order, messages

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
