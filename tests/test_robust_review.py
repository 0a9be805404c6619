"""Order statistics and robust estimators: interpolation forms, argument
order, infinities, signed zeros, non-finite parameters and termination."""
import math
import subprocess
import sys

import numpy as np
import pytest

from reference import loop_sum, same
from reference import ref_median as median
from reference import ref_huber as huber, ref_mad as mad

nan, inf = math.nan, math.inf


def arr(x):
    return np.array(x, dtype=np.float64)


def key(v):
    """IEEE total order on doubles (-0.0 before +0.0)."""
    b = int(np.float64(v).view(np.uint64))
    return (~b & (2**64 - 1)) if b >> 63 else b | (1 << 63)


def ordered(x):
    return [float(v) for v in sorted(np.asarray(x, dtype=float).tolist(), key=key)]


def blend(s, h):
    lo, hi = math.floor(h), math.ceil(h)
    if lo == hi or hi >= len(s):
        return s[lo]
    f = h - lo
    return (1 - f) * s[lo] + f * s[hi]


def quartiles(x):
    s = ordered(x)
    q1, q3 = blend(s, (len(s) - 1) * 0.25), blend(s, (len(s) - 1) * 0.75)
    return q1, q3, q3 - q1


def div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.divide(np.float64(a), np.float64(b)))


# ------------------------------------------------------------ interpolation


def test_percentile_blends_in_the_written_form(mod):
    a, b = -1.3210486329130189, 1.257302210933933
    written = (1 - 0.1) * a + 0.1 * b
    assert written != a + 0.1 * (b - a)  # the two forms differ here
    assert mod.percentile_np(arr([b, a]), 10.0) == written
    # q is divided by 100 before it scales n - 1.
    x = arr(range(8))
    h = 7 * (33.0 / 100)
    assert mod.percentile_np(x, 33.0) == blend(ordered(x), h)


def test_quartiles_blend_in_the_written_form(mod):
    x = arr([0.1, 0.7, -2.9, 1e-3, 5.5, 3.3])  # h = 1.25 and 3.75
    q1, q3, w = mod.iqr_np(x)
    assert (q1, q3, w) == quartiles(x)
    assert mod.iqr_width_np(x) == w == mod.iqr_robust_np(x)


@pytest.mark.parametrize(
    "x, q, expected",
    [([-0.0, 0.0, 0.0, -0.0], 0.0, -0.0), ([-0.0, 0.0, 0.0, -0.0], 100.0, 0.0), ([0.0, -0.0], 50.0, 0.0),
     ([-0.0, -0.0, 0.0], 50.0, -0.0), ([-inf, -inf, 3.0], 50.0, -inf), ([-inf, 1.0], 50.0, -inf),
     ([1.0, inf], 1e-300, inf), ([2.0, 2.0, inf], 50.0, 2.0)],
)
def test_percentile_signed_zeros_and_infinities(mod, x, q, expected):
    assert same(mod.percentile_np(arr(x), q), expected)


@pytest.mark.parametrize("q", [100.00000000000001, -5e-324, 1e309, -inf])
def test_percentile_q_just_outside_the_range(mod, q):
    with pytest.raises(ValueError, match=r"^q must be in the range \[0, 100\] \(numpy\.percentile semantics\)$"):
        mod.percentile_np(arr([1, 2]), q)


def test_percentile_q_ends_are_inclusive(mod):
    assert mod.percentile_np(arr([3, 1, 2]), 100) == 3.0
    assert mod.percentile_np(arr([3, 1, 2]), 0) == 1.0
    assert mod.percentile_np(arr([3, 1, 2]), 5e-324) == 1.0


def test_conversion_comes_before_parameter_checks(mod):
    # a list is not converted, so that error wins over the bad parameter
    for call in (lambda: mod.percentile_np([1.0, 2.0], 200.0),
                 lambda: mod.trimmed_mean_np([1.0, 2.0], 0.7),
                 lambda: mod.trimmed_mean_skipna_np([1.0, 2.0], 0.7),
                 lambda: mod.winsorize_np([1.0, 2.0], 0.6, 0.6)):
        with pytest.raises(TypeError, match="^argument 'a': "):
            call()
    # an unconvertible parameter wins over the strided array
    with pytest.raises(TypeError, match="^argument 'q': "):
        mod.percentile_np(np.arange(6.0)[::2], "50")


@pytest.mark.parametrize(
    "x, expected",
    [([inf], (inf, inf, nan)), ([-inf, -inf], (-inf, -inf, nan)), ([-0.0, 0.0], (0.0, 0.0, 0.0)),
     ([-inf, 1, 2, 3, 4], (1.0, 3.0, 2.0)), ([1, 2, inf, inf], (1.75, inf, inf))],
)
def test_iqr_with_infinities_follows_ieee_arithmetic(mod, x, expected):
    got = mod.iqr_np(arr(x))
    assert all(same(g, e) for g, e in zip(got, expected))
    assert same(mod.iqr_width_np(arr(x)), expected[2])
    assert same(mod.iqr_robust_np(arr(x)), nan if len(x) < 2 else expected[2])


# ---------------------------------------------------------------- MAD, Qn


@pytest.mark.parametrize(
    "x, mad_value",
    [([-0.0, 0.0, 0.0], 0.0), ([1, 2, 3, 4, 100], 1.0), ([-inf, 1, 2, 3, inf], 1.0), ([inf, inf, 1, 2], nan),
     ([1e308, -1e308, 0.0], 1e308), ([-1.7976931348623157e308, 1.7976931348623157e308], inf)],
)
def test_mad_forms(mod, x, mad_value):
    a = arr(x)
    assert same(mod.mad_np(a), mad_value)
    assert same(mod.mad_std_np(a), mad_value * 1.482602218505602)


@pytest.mark.parametrize(
    "x, med, mad_value, iqr_value",
    [([inf, -inf, 5.0], 5.0, 0.0, nan), ([-inf, -inf, 1.0, nan], 1.0, 0.0, nan),
     ([-inf, 1.0, 2.0, inf, nan], 1.5, 0.5, 0.5), ([nan, inf], nan, nan, nan), ([], nan, nan, nan)],
)
def test_skipna_forms_drop_nan_and_both_infinities(mod, x, med, mad_value, iqr_value):
    a = arr(x)
    assert same(mod.median_skipna_np(a), med)
    assert same(mod.mad_skipna_np(a), mad_value)
    assert same(mod.iqr_skipna_np(a), iqr_value)


def test_trimmed_mean_skipna_drops_infinities(mod):
    a = arr([inf, 1, 2, nan, 3, 4, -inf, 100])
    assert mod.trimmed_mean_skipna_np(a, 0.2) == 3.0
    assert mod.trimmed_mean_skipna_np(a, 0.0) == loop_sum([1, 2, 3, 4, 100]) / 5
    assert math.isnan(mod.trimmed_mean_np(a, 0.2))  # the plain form keeps the NaN


def qn(x):
    x = np.asarray(x, dtype=float).tolist()
    d = [abs(x[i] - x[j]) for i in range(len(x)) for j in range(i + 1, len(x))]
    return ordered(d)[len(d) // 4] * 2.2219


@pytest.mark.parametrize(
    "x",
    [[-0.0, 0.0, 0.0], [5e-324, 0.0, -5e-324, 1e-323, 2.2e-308, -0.0],
     [1e308, -1e308, 1.7976931348623157e308, 0.0, 3.0], [-inf, 0.0, 1.0, inf, 2.0, -inf]],
)
def test_qn_on_awkward_values(mod, x):
    assert same(mod.qn_scale_np(arr(x)), qn(x))


def test_qn_selection_without_pairs_matches_all_pairs(mod):
    rng = np.random.default_rng(42)
    # enough pairs that the count-and-narrow path runs, with heavy ties and tiny gaps
    x = np.r_[rng.integers(0, 40, 400) * 5e-324, rng.standard_normal(300), np.full(50, -0.0)]
    x = rng.permutation(x)
    d = np.abs(x[:, None] - x[None, :])[np.triu_indices(len(x), 1)]
    assert mod.qn_scale_np(x) == np.sort(d)[len(d) >> 2] * 2.2219


# ------------------------------------------------- trimmed, winsorized


@pytest.mark.parametrize(
    "x, trim, mean_value, std_value",
    [([1, 2, 3, inf], 0.0, inf, nan), ([1, 2, 3, inf], 0.25, 2.5, math.sqrt(0.5)),
     ([-inf, 1, 2, 3, inf], 0.2, 2.0, 1.0), ([-inf, inf], 0.0, nan, nan), ([-0.0, -0.0], 0.0, 0.0, 0.0)],
)
def test_trimmed_with_infinities(mod, x, trim, mean_value, std_value):
    assert same(mod.trimmed_mean_np(arr(x), trim), mean_value)
    assert same(mod.trimmed_std_np(arr(x), trim), std_value)


@pytest.mark.parametrize(
    "x, lower, upper, expected",
    [([1, 2, 3, 4, inf], 0.0, 75.0, 2.8), ([1, 2, 3, 4, inf], 0.0, 90.0, inf), ([1, 2, 3, 4, 100], -0.0, 75.0, 2.8),
     ([-inf, 1, 2, 3, 4], 25.0, 100.0, 2.2), ([-0.0, -0.0, 0.0], 0.0, 100.0, 0.0)],
)
def test_winsorized_mean_with_infinities(mod, x, lower, upper, expected):
    assert same(mod.winsorized_mean_np(arr(x), lower, upper), expected)


def test_winsorized_mean_sums_the_clamped_sorted_copy(mod):
    x = arr([0.1, 0.2, 0.7, -3.0, 1e16, 0.3, 0.3, 2.5])
    s = ordered(x)
    lo, hi = blend(s, (12.5 / 100) * 7), blend(s, (80.0 / 100) * 7)
    assert mod.winsorized_mean_np(x, 12.5, 80.0) == loop_sum(lo if v < lo else hi if v > hi else v for v in s) / 8


# ---------------------------------------------------------- Huber location


@pytest.mark.parametrize("k", [-1.0, -0.5, 0.0, 1e-9])
def test_huber_non_positive_k(mod, k):
    for x in ([1, 2, 4, 5], [1, 2, 3, 4, 100], np.random.default_rng(4).standard_normal(31)):
        got = mod.huber_location_np(arr(x), k, 7)
        assert same(got, huber(x, k, 7))


@pytest.mark.parametrize("x", [[-inf, 1, 2, 3, 4, 9], [1, 2, 3, 4, inf, inf], [-1e308, 0.1, 0.2, 0.4, 1e308]])
def test_huber_with_infinite_or_huge_values(mod, x):
    with np.errstate(over="ignore"):
        expected = huber(x)
    assert same(mod.huber_location_np(arr(x)), expected)


STUCK = (1e20 + np.array([0, 0, 1, 3, 10.0]) * 16384).tolist()
HANG = """
import math
import numpy as np
from marlox_stats import marlox_stats_rs as m
print(repr(m.huber_location_np(np.array({x!r}), {k!r}, {it})))
"""


@pytest.mark.parametrize(
    "x, k, it, expected",
    [  # a NaN or infinite k makes the location NaN, and it stays NaN
        ([1.0, 2.0, 3.0, 4.0, 10.0], nan, 2**64 - 1, nan),
        ([-inf, 1.0, 2.0, 3.0, inf], inf, 2**63, nan),
        # a step too small to move a huge location leaves it where it is
        (STUCK, 1.345, 2**64 - 1, huber(STUCK, 1.345, 30)),
    ],
)
def test_huber_huge_max_iter_ends_when_the_location_cannot_move(x, k, it, expected):
    code = HANG.format(x=x, k=k, it=it).replace("inf", "math.inf").replace("nan", "math.nan")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert same(float(out.stdout), expected)


# ------------------------------------------------------------- biweight


def biweight(x, c=9.0):
    x = np.asarray(x, dtype=float).tolist()
    M, d = median(x), mad(x)
    if len(x) < 2 or not math.isfinite(d) or d == 0:
        return nan
    num = den = 0.0
    for v in x:
        e = v - M
        u = div(e, c * d)
        if abs(u) < 1:
            t = 1 - u * u
            num += e * e * ((t * t) * (t * t))
            den += t * (1 - 5 * (u * u))
    return nan if den == 0 else (num * len(x)) / (den * den)


@pytest.mark.parametrize(
    "x, c", [([1, 2, 3, 4, inf], None), ([-inf, 1, 2, 3, 4, 5, 6], 3.0), ([1, 2, 3, 4], 0.0), ([1, 2, 3, 4], nan),
             ([1, 2, 3, 4, 20], -9.0), ([1, 2, 3, 4, 20], inf)]
)
def test_biweight_edges(mod, x, c):
    assert same(mod.biweight_midvariance_np(arr(x), c), biweight(x, 9.0 if c is None else c))


# ---------------------------------------------------------- outlier masks


def iqr_mask(x, k):
    q1, q3, w = quartiles(x) if len(x) else (nan, nan, nan)
    if math.isnan(w):
        return [False] * len(x)
    lo, hi = q1 - k * w, q3 + k * w
    return [v > hi or v < lo for v in np.asarray(x, dtype=float).tolist()]


@pytest.mark.parametrize(
    "x, k",
    [([-inf, 1, 2, 3, 4, 5, inf], 1.5), ([1, 2, 3, 4, 100], -1.0), ([1, 2, 3, 4, 100], nan), ([1, 2, 3, 4, 100], 0.0),
     ([1, 1, 1, 1, 1.0000000000000002], 0.0), ([-inf, -inf, 1, 2], 1.5), ([5.0], 1.5)],
)
def test_iqr_outlier_fences(mod, x, k):
    assert mod.iqr_outliers_np(arr(x), k).tolist() == iqr_mask(x, k)


def z_mask(x, t):
    x = np.asarray(x, dtype=float).tolist()
    n = len(x)
    if n < 2:
        return [False] * n
    mean = loop_sum(x) / n
    var = loop_sum((v - mean) ** 2 for v in x) / (n - 1)
    if not var > 0:
        return [False] * n
    sd = math.sqrt(var)
    return [abs((v - mean) / sd) > t for v in x]


@pytest.mark.parametrize("t", [3.0, 1.0, 0.0, -1.0, nan, inf])
def test_zscore_outlier_mask(mod, t):
    for x in ([1, 2, 3, 4, 100], np.random.default_rng(9).standard_t(3, 400), [-0.0, 0.0]):
        assert mod.zscore_outliers_np(arr(x), t).tolist() == z_mask(x, t)


# ------------------------------------------------- robust scaling, clipping


@pytest.mark.parametrize(
    "x, scaled, med, mad_value",
    [([1, 2, inf], [-1.0, 0.0, inf], 2.0, 1.0), ([inf, inf, 1], [nan, nan, nan], inf, nan),
     ([-inf, inf], [nan, nan], nan, nan), ([-0.0], [0.0], -0.0, 0.0), ([3, 1, 2, 4], [0.5, -1.5, -0.5, 1.5], 2.5, 1.0)],
)
def test_robust_scale_edges(mod, x, scaled, med, mad_value):
    out, m, d = mod.robust_scale_np(arr(x), 1.0)
    assert out.dtype == np.float64 and same(out, scaled) and same(m, med) and same(d, mad_value)


def test_robust_scale_factor_is_not_validated(mod):
    out, m, d = mod.robust_scale_np(arr([1, 2, 3]), -2.0)
    assert out.tolist() == [0.5, 0.0, -0.5] and (m, d) == (2.0, 1.0)
    out, m, d = mod.robust_scale_np(arr([1, 2, 3]), 0.0)  # a zero scale from the factor is used as it is
    assert same(out, [-inf, nan, inf]) and (m, d) == (2.0, 1.0)


def test_winsorize_quantile_bounds(mod):
    x = arr([3, -1, 7, 0.5])
    assert same(mod.winsorize_np(x, -0.0, 1.0), x)
    assert same(mod.winsorize_np(x, 0.0, 1.0), x)
    for lq, uq in ((0.0, 1.0000000000000002), (-5e-324, 0.5), (0.5, 0.5), (inf, inf)):
        with pytest.raises(ValueError, match="^winsorize quantiles must satisfy 0 <= lower_q < upper_q <= 1$"):
            mod.winsorize_np(x, lq, uq)


def test_winsorize_with_infinities_and_zeros(mod):
    x = arr([-inf, 1, -0.0, 2, inf, 0.0])
    s = ordered(x)
    lo, hi = blend(s, 5 * ((0.2 * 100) / 100)), blend(s, 5 * ((0.7 * 100) / 100))
    expected = [lo if v < lo else hi if v > hi else v for v in x.tolist()]
    assert same(mod.winsorize_np(x, 0.2, 0.7), expected)
    assert same(mod.winsorize_np(arr([-inf, 1, 2, inf]), 0.1, 0.9), [-inf, 1, 2, inf])  # bounds are NaN


@pytest.mark.parametrize(
    "lower, upper, expected",
    [(-inf, inf, [-inf, -0.0, 0.0, 3.0, inf]), (0.0, -0.0, [0.0, -0.0, 0.0, -0.0, -0.0]),
     (inf, -inf, [-inf, -0.0, 0.0, 3.0, inf]), (1.0, inf, [1.0, 1.0, 1.0, 3.0, inf]),
     (nan, 1.0, [-inf, -0.0, 0.0, 1.0, 1.0]), (2.0, nan, [2.0, 2.0, 2.0, 3.0, inf])],
)
def test_winsorize_clip_bounds(mod, lower, upper, expected):
    out = mod.winsorize_clip_np(arr([-inf, -0.0, 0.0, 3.0, inf]), lower, upper)
    assert out.dtype == np.float64 and same(out, expected)
