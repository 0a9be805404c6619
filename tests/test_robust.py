import math

import numpy as np
import pytest
import scipy.stats
from statsmodels.robust import scale as sm_scale

from reference import loop_sum, same, ref_huber, ref_mad, ref_qn, ref_trimmed
from reference import ref_median, ref_percentile, selection_samples, total_sorted

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


@pytest.mark.parametrize("x", [FIVE, *RANDOM[:4]], ids=len)
@pytest.mark.parametrize("c", [None, 9.0, 4.5])
def test_biweight_midvariance(mod, x, c):
    assert mod.biweight_midvariance_np(x, c) == ref_biweight(x, 9.0 if c is None else c)


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
