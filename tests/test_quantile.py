import math

import numpy as np
import pytest
import scipy.stats

from reference import same, interp, ref_median, ref_percentile, selection_samples, total_sorted

nan, inf = math.nan, math.inf


def ref_quartiles(x):
    s = total_sorted(x)
    q1, q3 = interp(s, (len(s) - 1) * 0.25), interp(s, (len(s) - 1) * 0.75)
    with np.errstate(invalid="ignore"):
        return q1, q3, q3 - q1


SIZES = [1, 2, 3, 4, 7, 100, 2048, 2049, 5001, 300_000]


@pytest.mark.parametrize("n", SIZES)
def test_order_statistics_match_a_total_order_sort(mod, n):
    for name, x in selection_samples(max(n, 4)):
        x = np.ascontiguousarray(x[:n])
        before = x.copy()
        assert same(mod.median_np(x), ref_median(x)), name
        for q in (0.0, 1.0, 25.0, 37.3, 50.0, 75.0, 99.9, 100.0):
            assert same(mod.percentile_np(x, q), ref_percentile(x, q)), (name, q)
        assert all(same(a, b) for a, b in zip(mod.iqr_np(x), ref_quartiles(x))), name
        assert same(x, before)


def test_oracles_agree_on_ordinary_data(mod):
    rng = np.random.default_rng(5)
    for n in (5, 6, 1000, 10_001):
        x = rng.standard_normal(n)
        # np.median averages the two middle values the same way: exact.
        assert mod.median_np(x) == np.median(x)
        # NumPy blends with another formula: equal up to rounding.
        for q in (3.0, 50.0, 91.7):
            assert mod.percentile_np(x, q) == pytest.approx(np.percentile(x, q), rel=1e-14, abs=1e-15)
        assert mod.iqr_width_np(x) == pytest.approx(scipy.stats.iqr(x), rel=1e-13)


@pytest.mark.parametrize(
    "x, median",
    [([3, 1, 2], 2.0), ([4, 1, 3, 2], 2.5), ([5], 5.0), ([], nan), ([1, nan, 2], nan), ([1, inf], inf),
     ([-inf, inf], nan), ([1e308, 1.5e308], inf), ([-0.0, 0.0, -0.0], -0.0), ([0.0, -0.0, 0.0], 0.0),
     ([-0.0, -0.0], -0.0)],
)
def test_median_cases(mod, x, median):
    assert same(mod.median_np(np.array(x, dtype=float)), median)


@pytest.mark.parametrize(
    "x, q, expected",
    [([1, 2, 3, 4], 50, 2.5), ([1, 2, 3, 4], 0, 1.0), ([1, 2, 3, 4], 100, 4.0), ([7], 0.0, 7.0), ([7], 100, 7.0),
     ([1, 2, 3, 4], 10, (1 - 0.30000000000000004) * 1 + 0.30000000000000004 * 2), ([], 50, nan),
     ([1, nan], 50, nan), ([-inf, 1], 0, -inf), ([-inf, inf], 50, nan), ([1, inf], 100, inf),
     ([0.0, -0.0], 0, -0.0), ([0.0, -0.0], 100, 0.0)],
)
def test_percentile_cases(mod, x, q, expected):
    assert same(mod.percentile_np(np.array(x, dtype=float), q), expected)


def test_percentile_rejects_q_before_contiguity(mod):
    strided = np.arange(10.0)[::2]
    for q in (100.5, -0.5, nan, inf):
        with pytest.raises(ValueError, match=r"^q must be in the range \[0, 100\] \(numpy.percentile semantics\)$"):
            mod.percentile_np(strided, q)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        mod.percentile_np(strided, 100.0)
    assert mod.percentile_np(np.array([1.0, 2.0]), -0.0) == 1.0


@pytest.mark.parametrize(
    "x, expected",
    [([1, 2, 3, 4], (1.75, 3.25, 1.5)), ([2], (2.0, 2.0, 0.0)), ([], (nan, nan, nan)), ([1, nan, 3], (nan, nan, nan)),
     ([1, 2, 3, 4, 100], (2.0, 4.0, 2.0)), ([inf], (inf, inf, nan)), ([1, 2, inf], (1.5, inf, inf))],
)
def test_iqr_cases(mod, x, expected):
    a = np.array(x, dtype=float)
    got = mod.iqr_np(a)
    assert isinstance(got, tuple) and len(got) == 3
    assert all(same(g, e) for g, e in zip(got, expected))
    assert same(mod.iqr_width_np(a), expected[2])


def test_iqr_width_nan_when_a_quartile_is_nan(mod):
    assert math.isnan(mod.iqr_width_np(np.array([-inf, inf])))
    assert math.isnan(mod.iqr_width_np(np.array([0.0, nan])))


@pytest.mark.parametrize("name", ["median_np", "iqr_np", "iqr_width_np"])
def test_strided_arrays_are_refused(mod, name):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        getattr(mod, name)(np.arange(6.0)[::2])


@pytest.mark.parametrize("v", [0.1, 1 / 3, 0.7, -2.9, 1e-300, 1e300])
def test_interpolation_between_equal_values_is_that_value(mod, v):
    # (1 - f) v + f v rounds off v for most f; every interpolating function
    # must still return v itself, as NumPy does.
    levels = np.linspace(0.0, 100.0, 401)
    for n in (2, 3, 10):
        x = np.full(n, v)
        assert all(mod.percentile_np(x, q) == v for q in levels)
        assert mod.iqr_np(x) == (v, v, 0.0)
        # Every value is clamped to v itself: the plain mean, rounding and all.
        assert all(mod.winsorized_mean_np(x, q, 100.0) == mod.mean_np(x) for q in levels[:-1])
        assert all((mod.winsorize_np(x, q / 100, 1.0) == v).all() for q in levels[:-1])
    # The bootstraps' interval ends interpolate between replicate values; the
    # weighted medians of equal values all equal v.
    for conf in (0.5, 0.8, 0.95, 0.99):
        for B in (50, 199):
            assert mod.bayesian_bootstrap_ci(np.full(7, v), "median", B, conf, 0)[1:] == (v, v)


def test_interpolation_stays_between_its_neighbours(mod):
    # Ties everywhere: many equal neighbours, and distinct ones that differ by
    # an ulp or by a lot. NumPy's linear method is the peer.
    rng = np.random.default_rng(11)
    for n in (2, 5, 40, 1001):
        base = rng.choice([0.1, 1 / 3, np.nextafter(1 / 3, 1), 0.7, 1e-300, 5e300], size=n)
        x = base * rng.choice([1.0, -1.0]) if n > 2 else base
        s = np.sort(x)
        for q in np.linspace(0.0, 100.0, 97):
            got = mod.percentile_np(x, q)
            h = (n - 1) * (q / 100)
            lo, hi = s[math.floor(h)], s[math.ceil(h)]
            assert lo <= got <= hi, (n, q)
            assert got == pytest.approx(np.percentile(x, q), rel=1e-15, abs=0), (n, q)
