import math
import subprocess
import sys

import numpy as np
import pytest
import scipy.stats
from statsmodels.robust import scale as sm_scale

from reference import FAR_SCALES, loop_sum, ref_huber, ref_mad, ref_median, ref_percentile, ref_qn, ref_trimmed, same, selection_samples, total_sorted

nan, inf = math.nan, math.inf


def arr(x):
    return np.array(x, dtype=np.float64)


def ref_biweight(x, c=9.0):
    M, mad = ref_median(x), ref_mad(x)
    num = den = 0.0
    for v in x:
        d = float(v) - M
        u = d / (c * mad)
        if abs(u) < 1:
            t = 1 - u * u
            num += d * d * ((t * t) * (t * t))
            den += t * (1 - 5 * (u * u))
    return (num * len(x)) / (den * den)


FIVE = arr([1, 2, 3, 4, 100])
RNG = np.random.default_rng(11)
RANDOM = [RNG.standard_normal(n) for n in (7, 8, 501, 4000, 300_001)]


# ------------------------------------------------------------------ MAD


def test_mad_family_values(mod):
    assert mod.mad_np(FIVE) == 1.0
    assert mod.mad_std_np(FIVE) == 1.482602218505602
    assert mod.mad_skipna_np(arr([1, nan, 2, inf, 3])) == 1.0
    assert mod.median_skipna_np(arr([nan, 4, 1])) == 2.5


@pytest.mark.parametrize("x", RANDOM, ids=len)
def test_mad_matches_scipy_and_statsmodels_exactly(mod, x):
    assert mod.mad_np(x) == scipy.stats.median_abs_deviation(x)
    assert mod.mad_np(x) == sm_scale.mad(x, c=1.0)
    assert mod.mad_std_np(x) == mod.mad_np(x) * 1.482602218505602


@pytest.mark.parametrize("n", [1, 2, 5, 2049, 300_000])
def test_mad_and_finite_median_over_awkward_samples(mod, n):
    for name, x in selection_samples(max(n, 4), seed=n):
        x = np.ascontiguousarray(x[:n])
        with np.errstate(invalid="ignore"):
            assert same(mod.mad_np(x), ref_mad(x)), name
        finite = x[np.isfinite(x)]
        assert same(mod.median_skipna_np(x), ref_median(finite) if len(finite) else nan), name


@pytest.mark.parametrize(
    "x, mad",
    [([], nan), ([7], 0.0), ([1, nan], nan), ([-inf, inf], nan), ([inf, 1, 2], 1.0), ([inf, inf, 1], nan)],
)
def test_mad_degenerate(mod, x, mad):
    assert same(mod.mad_np(arr(x)), mad)
    assert same(mod.mad_std_np(arr(x)), mad * 1.482602218505602)


@pytest.mark.parametrize("name", ["mad_skipna_np", "median_skipna_np", "iqr_skipna_np", "mad_np", "median_np"])
@pytest.mark.parametrize("x", [[], [inf, -inf, nan]])
def test_no_finite_value_gives_nan(mod, name, x):
    assert math.isnan(getattr(mod, name)(arr(x)))


@pytest.mark.parametrize("n", [50, 10_000, 400_000])
def test_skipna_forms_equal_plain_forms_on_the_finite_values(mod, n):
    dirty = np.random.default_rng(n).standard_t(2, n)
    dirty[::7] = nan
    dirty[3::11] = inf
    dirty[5::13] = -inf
    finite = dirty[np.isfinite(dirty)]
    assert same(mod.mad_skipna_np(dirty), mod.mad_np(finite))
    assert same(mod.median_skipna_np(dirty), mod.median_np(finite))
    assert same(mod.iqr_skipna_np(dirty), mod.iqr_robust_np(finite))
    assert same(mod.trimmed_mean_skipna_np(dirty, 0.1), mod.trimmed_mean_np(finite, 0.1))


# ------------------------------------------------------------------ IQR


@pytest.mark.parametrize(
    "x, width", [([1, 2, 3, 4], 1.5), ([2], nan), ([], nan), ([1, nan, 3], nan), ([-inf, inf], nan)]
)
def test_iqr_robust(mod, x, width):
    assert same(mod.iqr_robust_np(arr(x)), width)


def test_iqr_skipna_needs_two_finite_values(mod):
    assert mod.iqr_skipna_np(arr([1, nan, 2, inf, 3, 4])) == 1.5
    assert math.isnan(mod.iqr_skipna_np(arr([1, inf, nan])))


# ------------------------------------------------------------------- Qn


@pytest.mark.parametrize(
    "x, qn", [([1, 2], 0.8224), ([1, 2, 3], 2.2219), ([1, 2, 4, 8], 2 * 2.2219), ([5], nan), ([], nan),
              ([1, nan, 3], nan), ([inf, inf], nan), ([1, inf], inf), ([-inf, -inf, inf], inf), ([inf] * 4, nan)]
)
def test_qn_cases(mod, x, qn):
    assert same(mod.qn_scale_np(arr(x)), qn)


@pytest.mark.parametrize("n", [3, 4, 5, 10, 101, 1500])
def test_qn_equals_selection_over_all_pairs(mod, n):
    rng = np.random.default_rng(n)
    cases = dict(selection_samples(n, seed=n))
    cases["extremes"] = rng.choice([1e308, -1e308, 0.0, 1.0], n)  # differences overflow
    cases["infinities mixed"] = rng.choice([inf, -inf, 1.0, 2.0], n)
    for name, x in cases.items():
        assert same(mod.qn_scale_np(x), ref_qn(x)), name


def test_qn_large_sample_without_pairwise_memory(mod):
    x = np.random.default_rng(3).standard_normal(200_000)
    # 2e10 pairs would need 160 GB; the estimate of a standard normal is near 1.
    assert mod.qn_scale_np(x) == pytest.approx(1.0, abs=0.01)


# ------------------------------------------------------ trimmed means


def test_trimmed_mean_values(mod):
    assert mod.trimmed_mean_np(FIVE, 0.2) == 3.0
    assert mod.trimmed_mean_np(FIVE, 0.0) == 22.0
    assert mod.trimmed_mean_np(FIVE, -0.0) == 22.0
    assert mod.trimmed_mean_np(arr([1, 2]), 0.49) == 1.5
    assert math.isnan(mod.trimmed_mean_np(arr([]), 0.1))
    assert math.isnan(mod.trimmed_mean_np(arr([1, nan]), 0.1))


@pytest.mark.parametrize("x", RANDOM, ids=len)
@pytest.mark.parametrize("trim", [0.0, 0.1, 0.25, 0.4999])
def test_trimmed_statistics_sum_in_sorted_order(mod, x, trim):
    kept, mean = ref_trimmed(x, trim)
    assert mod.trimmed_mean_np(x, trim) == mean
    if len(kept) >= 2:
        ss = loop_sum((v - mean) ** 2 for v in kept)
        assert mod.trimmed_std_np(x, trim) == math.sqrt(ss / (len(kept) - 1))
        # far from 1 the data are read in their power-of-two unit
        for k in FAR_SCALES:
            assert mod.trimmed_std_np(np.ldexp(x, k), trim) == np.ldexp(math.sqrt(ss / (len(kept) - 1)), k)
    assert mod.trimmed_mean_np(x, trim) == pytest.approx(scipy.stats.trim_mean(x, trim), rel=1e-12, abs=1e-14)


@pytest.mark.parametrize("name", ["trimmed_mean_np", "trimmed_mean_skipna_np"])
@pytest.mark.parametrize("p", [0.5, -0.1, nan, inf, -inf])
def test_trimmed_mean_rejects_proportion_before_contiguity(mod, name, p):
    with pytest.raises(ValueError, match=r"^proportion_to_cut must be in the range \[0, 0\.5\)$"):
        getattr(mod, name)(np.arange(8.0)[::2], p)


def test_trimmed_std_returns_nan_instead_of_raising(mod):
    for p in (0.5, -0.1, nan):
        assert math.isnan(mod.trimmed_std_np(FIVE, p))
    assert math.isnan(mod.trimmed_std_np(arr([1, 2, 3]), 0.34))  # one value kept
    assert math.isnan(mod.trimmed_std_np(arr([]), 0.1))
    assert mod.trimmed_std_np(arr([1, 2, 3]), 0.0) == 1.0


def test_trimmed_mean_skipna(mod):
    assert mod.trimmed_mean_skipna_np(arr([nan, 1, 2, 3, 4, 100, inf]), 0.2) == 3.0
    assert math.isnan(mod.trimmed_mean_skipna_np(arr([nan, -inf]), 0.2))


# --------------------------------------------------- winsorized mean


def ref_winsorized_mean(x, lower, upper):
    s = total_sorted(x)
    n1 = len(s) - 1

    def bound(p):
        h = (min(max(p, 0.0), 100.0) / 100) * n1
        lo, hi = math.floor(h), math.ceil(h)
        return s[lo] if lo == hi else (1 - (h - lo)) * s[lo] + (h - lo) * s[hi]

    lo, hi = bound(lower), bound(upper)
    return loop_sum(lo if v < lo else hi if v > hi else v for v in s) / len(s)


@pytest.mark.parametrize(
    "x, lower, upper, expected",
    [(FIVE, 0, 75, 2.8), (FIVE, 50, 50, nan), (FIVE, 60, 40, nan), ([], 0, 50, nan), ([1, nan], 0, 50, nan),
     # Percentages outside [0, 100] act as the nearest end; a NaN bound gives NaN.
     (FIVE, -50, 150, 22.0), (FIVE, 0, 1e300, 22.0), (FIVE, -1e300, 25, (1 + 2 + 2 + 2 + 2) / 5),
     (FIVE, nan, 50, nan), (FIVE, 10, nan, nan)],
)
def test_winsorized_mean_cases(mod, x, lower, upper, expected):
    assert same(mod.winsorized_mean_np(arr(x), lower, upper), expected)


@pytest.mark.parametrize("x", RANDOM, ids=len)
def test_winsorized_mean_clamps_the_sorted_copy(mod, x):
    for lower, upper in ((5.0, 95.0), (0.0, 33.3), (12.5, 100.0)):
        assert mod.winsorized_mean_np(x, lower, upper) == ref_winsorized_mean(x, lower, upper)


# ------------------------------------------------------ Huber, biweight


def test_huber_values(mod):
    assert mod.huber_location_np(arr([1, 2, 3, 4, 5])) == 3.0
    assert mod.huber_location_np(arr([4, 4, 4])) == 4.0
    assert mod.huber_location_np(FIVE, max_iter=0) == 3.0
    assert math.isnan(mod.huber_location_np(arr([])))
    assert math.isnan(mod.huber_location_np(arr([1, nan, 3])))
    assert mod.huber_location_np(FIVE, None, None) == mod.huber_location_np(FIVE, 1.345, 30)


@pytest.mark.parametrize("x", [FIVE, *RANDOM[:4], RNG.standard_t(2, 300)], ids=len)
@pytest.mark.parametrize("k, max_iter", [(1.345, 30), (0.5, 3), (3.0, 100)])
def test_huber_iteration(mod, x, k, max_iter):
    assert mod.huber_location_np(x, k, max_iter) == ref_huber(x, k, max_iter)


def test_huber_zero_weight_sum_returns_current_location(mod):
    # k = 0 with no value at the median: every weight is 0.
    assert mod.huber_location_np(arr([1, 2, 4, 5]), 0.0) == 3.0
    assert math.isfinite(mod.huber_location_np(RANDOM[2], -1.0))


# Data far from 1 are read in their power-of-two unit: at 2^k the midvariance
# is the loop's on the unscaled data times 2^(2k), rounded once.
@pytest.mark.parametrize("x", [FIVE, *RANDOM[:4]], ids=len)
@pytest.mark.parametrize("c", [None, 9.0, 4.5])
@pytest.mark.parametrize("k", [0] + FAR_SCALES)
def test_biweight_midvariance(mod, x, c, k):
    with np.errstate(over="ignore"):
        expected = np.ldexp(ref_biweight(x, 9.0 if c is None else c), 2 * k)
    assert same(mod.biweight_midvariance_np(np.ldexp(x, k), c), expected)


@pytest.mark.parametrize("x", [[1, 1, 1, 5], [7], [], [1, nan, 2], [-inf, inf, 1]])
def test_biweight_degenerate(mod, x):
    assert math.isnan(mod.biweight_midvariance_np(arr(x)))


def test_biweight_zero_denominator(mod):
    # Median 5 and MAD 5 with c = 1: every |u| is exactly 1, so nothing is summed (strict).
    assert math.isnan(mod.biweight_midvariance_np(arr([0, 0, 10, 10]), 1.0))
    assert mod.biweight_midvariance_np(arr([0, 0, 10, 10]), 1.0000001) > 0


# --------------------------------------------------------- outlier masks


def test_iqr_outliers(mod):
    out = mod.iqr_outliers_np(FIVE)
    assert out.dtype == np.bool_ and out.tolist() == [False, False, False, False, True]
    assert not mod.iqr_outliers_np(FIVE, k=100).any()
    # Fences are strict: q1 = 2, q3 = 4, fences -1 and 7.
    assert mod.iqr_outliers_np(arr([-1, 2, 3, 4, 7])).tolist() == [False] * 5
    assert mod.iqr_outliers_np(arr([-1.0000001, 2, 3, 4, 7.0000001])).tolist() == [True, False, False, False, True]
    assert mod.iqr_outliers_np(arr([1, nan, 100])).tolist() == [False] * 3
    assert mod.iqr_outliers_np(arr([-inf, 1, inf])).tolist() == [False] * 3
    assert mod.iqr_outliers_np(arr([])).dtype == np.bool_ and len(mod.iqr_outliers_np(arr([]))) == 0


def test_zscore_outliers(mod):
    assert mod.zscore_outliers_np(arr([5, 5, 5])).tolist() == [False] * 3
    assert mod.zscore_outliers_np(arr([1])).tolist() == [False]
    assert mod.zscore_outliers_np(arr([])).dtype == np.bool_
    assert mod.zscore_outliers_np(arr([1, nan, 3])).tolist() == [False] * 3
    assert mod.zscore_outliers_np(arr([1, inf, 3])).tolist() == [False] * 3
    x = np.r_[np.zeros(20), 10.0]
    mean = loop_sum(x) / len(x)
    sd = math.sqrt(loop_sum((v - mean) ** 2 for v in x) / (len(x) - 1))
    z = abs((10.0 - mean) / sd)
    assert mod.zscore_outliers_np(x, z).tolist() == [False] * 21  # strict
    assert mod.zscore_outliers_np(x, math.nextafter(z, 0)).tolist() == [False] * 20 + [True]
    assert mod.zscore_outliers_np(x).tolist() == [False] * 20 + [True]


# ------------------------------------------------- scaling, winsorizing


def test_robust_scale(mod):
    out, med, mad = mod.robust_scale_np(arr([1, 2, 3]), 1.0)
    assert out.tolist() == [-1.0, 0.0, 1.0] and (med, mad) == (2.0, 1.0)
    out, med, mad = mod.robust_scale_np(arr([2, 2, 2]), 1.4826)
    assert out.tolist() == [0.0, 0.0, 0.0] and (med, mad) == (2.0, 0.0)
    out, med, mad = mod.robust_scale_np(arr([2, 2, 2, 3]), 1.4826)
    assert out.tolist() == [0.0, 0.0, 0.0, 1e12]  # zero MAD divides by 1e-12, not 1.4826e-12
    out, med, mad = mod.robust_scale_np(arr([]), 1.0)
    assert out.dtype == np.float64 and len(out) == 0 and math.isnan(med) and math.isnan(mad)
    out, med, mad = mod.robust_scale_np(arr([1, nan, 3]), 1.0)
    assert np.isnan(out).all() and len(out) == 3 and math.isnan(med) and math.isnan(mad)


@pytest.mark.parametrize("x", RANDOM, ids=len)
def test_robust_scale_large(mod, x):
    out, med, mad = mod.robust_scale_np(x, 1.4826)
    assert med == np.median(x) and mad == scipy.stats.median_abs_deviation(x)
    assert same(out, (x - med) / (1.4826 * mad))


def ref_winsorize(x, lower_q, upper_q):
    lo, hi = ref_percentile(x, lower_q * 100), ref_percentile(x, upper_q * 100)
    return [lo if v < lo else hi if v > hi else v for v in x]


def test_winsorize(mod):
    assert mod.winsorize_np(FIVE, 0.0, 0.75).tolist() == [1, 2, 3, 4, 4]
    for x in RANDOM:
        for lq, uq in ((0.05, 0.95), (0.0, 0.1), (0.3, 1.0)):
            assert same(mod.winsorize_np(x, lq, uq), ref_winsorize(x, lq, uq))
    with_nan = arr([5, nan, -3])
    assert same(mod.winsorize_np(with_nan, 0.1, 0.9), with_nan)
    assert len(mod.winsorize_np(arr([]), 0.1, 0.9)) == 0


@pytest.mark.parametrize("lq, uq", [(0.6, 0.6), (0.7, 0.2), (-0.1, 0.5), (0.1, 1.5), (nan, 0.5), (0.1, nan)])
def test_winsorize_rejects_quantiles_before_contiguity(mod, lq, uq):
    with pytest.raises(ValueError, match="^winsorize quantiles must satisfy 0 <= lower_q < upper_q <= 1$"):
        mod.winsorize_np(np.arange(8.0)[::2], lq, uq)


@pytest.mark.parametrize(
    "lower, upper, expected",
    [(8, 2, [2, 5, 8]), (2, 8, [2, 5, 8]), (6, 6, [6, 6, 6]),
     # A NaN bound clamps nothing on its side and is never swapped.
     (nan, 4, [1, 4, 4]), (4, nan, [4, 5, 9]), (nan, nan, [1, 5, 9])],
)
def test_winsorize_clip(mod, lower, upper, expected):
    assert mod.winsorize_clip_np(arr([1, 5, 9]), lower, upper).tolist() == expected


def test_winsorize_clip_keeps_nan_and_empty(mod):
    assert same(mod.winsorize_clip_np(arr([nan, -inf, inf]), -1, 1), [nan, -1, 1])
    assert len(mod.winsorize_clip_np(arr([]), 0, 1)) == 0


# ------------------------------------------------------------- common


CALLS = {
    "mad_np": (), "mad_std_np": (), "mad_skipna_np": (), "median_skipna_np": (), "iqr_robust_np": (),
    "iqr_skipna_np": (), "qn_scale_np": (), "trimmed_mean_np": (0.1,), "trimmed_mean_skipna_np": (0.1,),
    "trimmed_std_np": (0.1,), "winsorized_mean_np": (5.0, 95.0), "huber_location_np": (),
    "biweight_midvariance_np": (), "iqr_outliers_np": (), "zscore_outliers_np": (), "robust_scale_np": (1.4826,),
    "winsorize_np": (0.1, 0.9), "winsorize_clip_np": (-1.0, 1.0),
}


@pytest.mark.parametrize("name", CALLS)
def test_strided_refused_and_input_unchanged(mod, name):
    f = getattr(mod, name)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        f(np.arange(9.0)[::3], *CALLS[name])
    x = np.random.default_rng(1).standard_normal(5000)
    x[::17] = -0.0
    before = x.copy()
    f(x, *CALLS[name])
    assert same(x, before)


# =========================== order statistics, MAD, Qn, biweight, outlier masks



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
        assert same(got, ref_huber(x, k, 7))


@pytest.mark.parametrize("x", [[-inf, 1, 2, 3, 4, 9], [1, 2, 3, 4, inf, inf], [-1e308, 0.1, 0.2, 0.4, 1e308]])
def test_huber_with_infinite_or_huge_values(mod, x):
    with np.errstate(over="ignore"):
        expected = ref_huber(x)
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
        (STUCK, 1.345, 2**64 - 1, ref_huber(STUCK, 1.345, 30)),
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
    M, d = ref_median(x), ref_mad(x)
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


# The mask of data scaled by 2^k far from 1 is that of the unscaled data.
@pytest.mark.parametrize("t", [3.0, 1.0, 0.0, -1.0, nan, inf])
@pytest.mark.parametrize("k", [0] + FAR_SCALES)
def test_zscore_outlier_mask(mod, t, k):
    for x in ([1, 2, 3, 4, 100], np.random.default_rng(9).standard_t(3, 400), [-0.0, 0.0]):
        assert mod.zscore_outliers_np(np.ldexp(arr(x), k), t).tolist() == z_mask(x, t)


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
