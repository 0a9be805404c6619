import copy
import gc
import inspect
import itertools
import math
import pickle
import sys
import tracemalloc

import bottleneck as bn
import numpy as np
import pandas as pd
import pytest

from reference import loop_sum, same
from reference import interp, total_sorted
from reference import ref_mad, ref_qn, ref_trimmed

nan, inf = math.nan, math.inf
MAD_NORMAL = 1.482602218505602


def arr(x):
    return np.array(x, dtype=np.float64)


# ---------------------------------------------------------------- references


def ref_median(x):
    if len(x) == 0 or np.isnan(x).any():
        return nan
    s = total_sorted(x)
    m = len(s) // 2
    return s[m] if len(s) % 2 else (s[m] + s[m - 1]) * 0.5


def ref_scale(x, scale, mad_consistent):
    if np.isnan(x).any():
        return nan
    if scale == "mad":
        with np.errstate(invalid="ignore"):
            mad = ref_mad(x)
        return mad * MAD_NORMAL if mad_consistent else mad
    if len(x) < 2:
        return nan
    if scale == "iqr":
        s = total_sorted(x)
        with np.errstate(invalid="ignore"):
            return interp(s, (len(s) - 1) * 0.75) - interp(s, (len(s) - 1) * 0.25)
    return abs(x[0] - x[1]) * 0.8224 if len(x) == 2 else ref_qn(x)


def ref_huber(x, s, c, max_iter, tol):
    """The Huber iteration of robust fit: tolerance relative to the scale, a
    zero weight sum keeps the current location."""
    mu = ref_median(x)
    if max_iter == 0 or s == 0 or not math.isfinite(s):
        return mu
    for it in range(1, max_iter + 1):
        with np.errstate(all="ignore"):
            u = (x - mu) / s
            inside = np.abs(u) <= c
            psi = np.where(inside, u, c * np.where(np.isnan(u), u, np.copysign(1.0, u)))
            weight = np.where(inside, 1.0, c / np.abs(u))
        psi_sum, weight_sum = loop_sum(psi), loop_sum(weight)
        if weight_sum == 0.0:
            break
        step = (s * psi_sum) / weight_sum
        mu = mu + step
        if abs(step) < tol * s:
            break
    return mu


def ref_fit(x, location="median", scale="mad", c=1.345, trim=0.1, max_iter=50, tol=1e-6, mad_consistent=True):
    x = arr(x)
    if len(x) == 0:
        return nan, nan
    s = ref_scale(x, scale, mad_consistent)
    if location == "median":
        loc = ref_median(x)
    elif location == "trimmed_mean":
        ok = math.isfinite(trim) and 0.0 <= trim < 0.5 and not np.isnan(x).any()
        g = int(trim * len(x)) if ok else 0
        loc = ref_trimmed(x, trim)[1] if ok and len(x) > 2 * g else nan
    else:
        loc = ref_huber(x, s, c, max_iter, tol)
    return float(loc), float(s)


def ref_score(x, **kw):
    x = arr(x)
    if len(x) == 0:
        return arr([nan])
    loc, s = ref_fit(x, **kw)
    if s == 0 or not math.isfinite(s):
        return np.full(len(x), nan)
    with np.errstate(invalid="ignore"):
        return (x - loc) / s


def ref_rolling_median(x, w):
    out = np.full(len(x), nan)
    if w == 0 or w > len(x):
        return out
    for i in range(w - 1, len(x)):
        out[i] = ref_median(x[i - w + 1:i + 1])
    return out


# ---------------------------------------------------------------- data

rng = np.random.default_rng(7)
DATA = {
    "normal": rng.standard_normal(57),
    "outliers": np.r_[rng.standard_normal(40), 50.0, -80.0, 1e6],
    "ties": rng.integers(0, 4, 30).astype(float),
    "even": arr([1, 2, 3, 4, 100, 7]),
    "one": arr([2.5]),
    "two": arr([1.0, 4.0]),
    "constant": np.full(9, 3.0),
    "infinity": arr([1, 2, 3, inf, 5]),
    "nan": arr([1, nan, 3, 4]),
    "empty": arr([]),
}
LOCATIONS = ["median", "trimmed_mean", "huber"]
SCALES = ["mad", "iqr", "qn"]
POLICIES = [
    dict(location=loc, scale=sc, mad_consistent=mc)
    for loc, sc, mc in itertools.product(LOCATIONS, SCALES, [True, False])
]


def pid(p):
    return f"{p['location']}-{p['scale']}-{'consistent' if p['mad_consistent'] else 'raw'}"


# ---------------------------------------------------------------- robust_fit / robust_score


def test_fit_and_score_values(mod):
    x = arr([1, 2, 3, 4, 100])
    assert mod.robust_fit(x) == (3.0, 1.482602218505602)
    assert mod.robust_fit(x, mad_consistent=False) == (3.0, 1.0)
    assert mod.robust_fit(x, scale="iqr") == (3.0, 2.0)
    assert mod.robust_fit(x, scale="qn") == (3.0, 2.2219)
    assert same(mod.robust_score(arr([1, 2, 3])), [-0.6744897501960817, 0.0, 0.6744897501960817])


@pytest.mark.parametrize("policy", POLICIES, ids=pid)
@pytest.mark.parametrize("name", list(DATA))
def test_every_policy_matches_the_reference_and_the_class(mod, policy, name):
    x = DATA[name]
    before = x.copy()
    fit = mod.robust_fit(x, **policy)
    assert same(fit, ref_fit(x, **policy))
    assert same(mod.robust_score(x, **policy), ref_score(x, **policy))
    rs = mod.RobustStats(**policy)
    assert same(rs.fit(x), fit)
    assert same(rs.score(x), mod.robust_score(x, **policy))
    assert same(x, before)


@pytest.mark.parametrize(
    "kw",
    [
        dict(c=0.5, max_iter=3, tol=0.0),
        dict(c=2.0, max_iter=1),
        dict(c=1.345, tol=1e-12, max_iter=1000),
        dict(c=1.0, tol=10.0),
        dict(trim=0.0),
        dict(trim=0.3),
    ],
)
@pytest.mark.parametrize("scale", SCALES)
def test_parameters_reach_the_estimators(mod, kw, scale):
    location = "trimmed_mean" if "trim" in kw else "huber"
    for x in (DATA["normal"], DATA["outliers"], DATA["even"]):
        args = dict(location=location, scale=scale, **kw)
        assert same(mod.robust_fit(x, **args), ref_fit(x, **args))
        assert same(mod.RobustStats(**args).fit(x), mod.robust_fit(x, **args))


def test_huber_uses_the_configured_scale_and_its_own_rules(mod):
    x = DATA["outliers"]
    mu_consistent = mod.robust_fit(x, location="huber")[0]
    mu_raw = mod.robust_fit(x, location="huber", mad_consistent=False)[0]
    assert mu_consistent != mu_raw
    # Not the estimate of huber_location_np, which scales by 1.4826 and stops at 30 steps.
    assert mod.robust_fit(x, location="huber", tol=0.0, max_iter=30)[0] != mod.huber_location_np(x, 1.345, 30)
    # No iterations, or a scale of 0: the median.
    assert mod.robust_fit(x, location="huber", max_iter=0)[0] == np.median(x)
    assert mod.robust_fit(arr([1, 1, 1, 1, 9]), location="huber") == (1.0, 0.0)
    # Infinite scale (an infinity among the values for the IQR): the median.
    assert mod.robust_fit(arr([1, 2, 3, inf]), location="huber", scale="iqr")[0] == 2.5
    # A zero weight sum (c = 0, the median between the values) keeps the median.
    assert mod.robust_fit(arr([1, 2, 3, 4]), location="huber", c=0.0) == (2.5, 1.482602218505602)


@pytest.mark.parametrize(
    "x, loc, scale",
    [
        ([], nan, nan),
        ([1, nan, 3], nan, nan),
        ([7.0], 7.0, 0.0),
    ],
)
def test_fit_degenerate(mod, x, loc, scale):
    assert same(mod.robust_fit(arr(x)), (loc, scale))


def test_trim_outside_range_gives_nan_location(mod):
    x = arr([1, 2, 3, 4, 100])
    for trim in (0.6, 0.5, -0.1, nan, inf):
        assert same(mod.robust_fit(x, location="trimmed_mean", trim=trim), (nan, MAD_NORMAL))
        assert same(mod.robust_score(x, location="trimmed_mean", trim=trim), np.full(5, nan))
    # trim is read only by the trimmed mean
    assert mod.robust_fit(x, trim=0.9) == (3.0, MAD_NORMAL)


@pytest.mark.parametrize(
    "x, kw",
    [
        ([5, 5, 5], {}),
        ([1, 2, 3, inf], dict(scale="iqr")),
        ([1, nan, 2], {}),
        ([4.0], dict(scale="qn")),
    ],
)
def test_score_without_a_usable_scale_is_all_nan(mod, x, kw):
    assert same(mod.robust_score(arr(x), **kw), np.full(len(x), nan))


def test_score_of_empty_is_one_nan(mod):
    out = mod.robust_score(arr([]))
    assert out.dtype == np.float64 and same(out, [nan])
    assert same(mod.RobustStats().score(arr([])), [nan])


@pytest.mark.parametrize("n", [1000, 100_001])
def test_large_inputs_match_numpy(mod, n):
    x = np.random.default_rng(n).standard_normal(n)
    med = np.median(x)
    mad = np.median(np.abs(x - med))
    assert mod.robust_fit(x) == (med, mad * MAD_NORMAL)
    assert same(mod.robust_score(x), (x - med) / (mad * MAD_NORMAL))


# ---------------------------------------------------------------- names

SCALE_MSG = "Invalid scale: {}. Must be 'mad', 'iqr', or 'qn'"
LOCATION_MSG = "Invalid location: {}. Must be 'median', 'trimmed_mean', or 'huber'"


@pytest.mark.parametrize(
    "location, scale, message",
    [
        ("Median", "mad", LOCATION_MSG.format("Median")),
        ("huber", "std", SCALE_MSG.format("std")),
        ("median", "std", SCALE_MSG.format("std")),
        ("trimmed_mean", "MAD", SCALE_MSG.format("MAD")),
        ("mean", "std", LOCATION_MSG.format("mean")),
        ("median", " mad", SCALE_MSG.format(" mad")),
        ("", "mad", LOCATION_MSG.format("")),
        ("huber\0", "mad", LOCATION_MSG.format("huber\0")),
        ("médiane", "mad", LOCATION_MSG.format("médiane")),
    ],
)
def test_invalid_names(mod, location, scale, message):
    x = arr([1, 2, 3])
    for call in (
        lambda: mod.robust_fit(x, location, scale),
        lambda: mod.robust_score(x, location=location, scale=scale),
        lambda: mod.RobustStats(location, scale),
    ):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


def test_contiguity_is_checked_before_the_names(mod):
    x = np.arange(10.0)[::2]
    for f in (mod.robust_fit, mod.robust_score):
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            f(x, "bogus")
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        mod.RobustStats().fit(x)


@pytest.mark.parametrize(
    "kw, exc, message",
    [
        (dict(location=None), TypeError, "argument 'location': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(scale=1), TypeError, "argument 'scale': 'int' object cannot be converted to 'PyString'"),
        (dict(mad_consistent=1), TypeError, "argument 'mad_consistent': 'int' object cannot be converted to 'PyBool'"),
        (dict(c=None), TypeError, "argument 'c': must be real number, not NoneType"),
        (dict(max_iter=-1), OverflowError, None),
        (dict(max_iter=2.0), TypeError, None),
    ],
)
def test_argument_conversion(mod, kw, exc, message):
    for f in (lambda: mod.robust_fit(arr([1.0]), **kw), lambda: mod.RobustStats(**kw)):
        with pytest.raises(exc) as e:
            f()
        if message:
            assert str(e.value) == message
        if exc is OverflowError:
            assert not str(e.value).startswith("argument")


# ---------------------------------------------------------------- RobustStats


def test_class_record(mod):
    rs = mod.RobustStats
    assert isinstance(rs, type)
    assert rs.__module__ == "marlox_stats" and rs.__name__ == "RobustStats" and rs.__qualname__ == "RobustStats"
    assert mod.__all__.index("RobustStats") == 30
    assert str(inspect.signature(rs)) == (
        "(location='median', scale='mad', c=1.345, trim=0.1, max_iter=50, tol=1e-06, mad_consistent=True)"
    )
    assert rs.__doc__.startswith("Robust statistics estimator with configurable policies - OPTIMIZED")
    for word in ("location", "scale", "c", "trim", "max_iter", "tol", "mad_consistent", "trimmed_mean", "huber",
                 "iqr", "qn"):
        assert word in rs.__doc__
    for name, summary in (("fit", "Fit robust location and scale - OPTIMIZED"),
                          ("score", "Compute robust z-scores - OPTIMIZED")):
        meth = getattr(rs, name)
        assert meth.__text_signature__ == "($self, x)"
        assert meth.__doc__ == summary + "\n\nZero string operations - uses pre-built enum config."
        assert str(inspect.signature(getattr(rs(), name))) == "(x)"


def test_module_function_records(mod):
    sig = "(x, location='median', scale='mad', c=1.345, trim=0.1, max_iter=50, tol=1e-06, mad_consistent=True)"
    assert str(inspect.signature(mod.robust_fit)) == sig
    assert str(inspect.signature(mod.robust_score)) == sig
    assert str(inspect.signature(mod.rolling_median)) == "(x, window)"
    assert mod.robust_fit.__doc__ == "Compute robust location and scale - OPTIMIZED"
    assert mod.robust_score.__doc__ == "Compute robust z-scores - OPTIMIZED"
    assert mod.rolling_median.__doc__ == "Rolling median with adaptive algorithm - OPTIMIZED"


def test_construction_binds_positionally_and_by_keyword(mod):
    x = DATA["outliers"]
    rs = mod.RobustStats("huber", "qn")
    assert same(rs.fit(x), mod.robust_fit(x, location="huber", scale="qn"))
    args = ("huber", "iqr", 1.0, 0.2, 7, 1e-3, False)
    by_pos, by_kw = mod.RobustStats(*args), mod.RobustStats(
        **dict(zip(["location", "scale", "c", "trim", "max_iter", "tol", "mad_consistent"], args)))
    assert same(by_pos.fit(x), by_kw.fit(x)) and same(by_pos.fit(x), mod.robust_fit(x, *args))
    assert same(mod.RobustStats(mad_consistent=np.True_).fit(x), mod.robust_fit(x))


def test_fit_with_edge_configurations(mod):
    x = arr([1, 2, 3, 4, 100])
    assert mod.RobustStats("huber", max_iter=0).fit(x)[0] == 3.0
    assert mod.RobustStats(trim=0.9).fit(x) == (3.0, MAD_NORMAL)
    assert same(mod.RobustStats("trimmed_mean", trim=0.9).fit(x), (nan, MAD_NORMAL))
    assert same(mod.RobustStats().fit(arr([])), (nan, nan))


def test_method_binding_errors(mod):
    rs = mod.RobustStats()
    x = arr([1, 2, 3])
    cases = [
        (lambda: rs.fit(), "RobustStats.fit() missing 1 required positional argument: 'x'"),
        (lambda: rs.score(x, x), "RobustStats.score() takes 1 positional arguments but 2 were given"),
        (lambda: rs.fit(x, y=x), "RobustStats.fit() got an unexpected keyword argument 'y'"),
        (lambda: rs.score(x, x=x), "RobustStats.score() got multiple values for argument 'x'"),
        (lambda: rs.fit([1.0]), "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: mod.RobustStats(*range(8)), "RobustStats.__new__() takes from 0 to 7 positional arguments but 8 were given"),
        (lambda: mod.RobustStats(window=3), "RobustStats.__new__() got an unexpected keyword argument 'window'"),
        (lambda: mod.RobustStats("median", location="huber"),
         "RobustStats.__new__() got multiple values for argument 'location'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    assert same(rs.fit(x=x), rs.fit(x))


def test_methods_refuse_other_receivers(mod):
    for bad in (5, "mad", object()):
        with pytest.raises(TypeError, match="RobustStats"):
            mod.RobustStats.fit(bad, arr([1.0]))
        with pytest.raises(TypeError, match="RobustStats"):
            mod.RobustStats.score(bad, arr([1.0]))


def test_instances_cannot_change(mod):
    rs = mod.RobustStats("huber", "iqr", c=2.0)
    text = repr(rs)
    for attr in ("location", "scale", "c", "trim", "config", "mad_consistent", "anything"):
        assert not hasattr(rs, attr)
        with pytest.raises(AttributeError):
            setattr(rs, attr, 1)
    assert not hasattr(rs, "__dict__")
    with pytest.raises(TypeError):
        class Sub(mod.RobustStats):
            pass
    with pytest.raises(TypeError):
        object.__new__(mod.RobustStats)
    with pytest.raises(TypeError):
        pickle.dumps(rs)
    with pytest.raises(TypeError):
        copy.copy(rs)
    assert repr(rs) == text


def test_instances_and_failed_constructions_leak_nothing(mod):
    from test_leaks import SANITIZED, native_heap_bytes

    cls, x = mod.RobustStats, np.random.default_rng(0).standard_normal(300)

    def cycle():
        rs = cls("huber", "iqr", 1.0, 0.2, 5, 1e-4, False)
        rs.fit(x), rs.score(x), repr(rs)
        for bad in (lambda: cls("x" * 500), lambda: cls(location=None), lambda: rs.fit(x[::2]), lambda: rs.fit()):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    for _ in range(50):
        cycle()
    gc.collect()
    refs, heap = (sys.getrefcount(cls), sys.getrefcount(x)), native_heap_bytes()
    tracemalloc.start()
    snap = tracemalloc.take_snapshot()
    for _ in range(2000):
        cycle()
    gc.collect()
    grown = sum(d.size_diff for d in tracemalloc.take_snapshot().compare_to(snap, "filename"))
    tracemalloc.stop()
    assert (sys.getrefcount(cls), sys.getrefcount(x)) == refs
    assert grown < 64 * 1024
    assert SANITIZED or native_heap_bytes() - heap < 256 * 1024


# ---------------------------------------------------------------- repr


def test_repr_defaults_and_given_values(mod):
    assert repr(mod.RobustStats()) == (
        "RobustStats(location='median', scale='mad', c=1.345, trim=0.100, mad_consistent=true)")
    assert repr(mod.RobustStats(c=0.0625, trim=1e-4, mad_consistent=False)) == (
        "RobustStats(location='median', scale='mad', c=0.062, trim=0.000, mad_consistent=false)")
    # Names as passed, without escaping; max_iter and tol are not shown.
    assert repr(mod.RobustStats("huber", "qn", max_iter=3, tol=0.5)) == (
        "RobustStats(location='huber', scale='qn', c=1.345, trim=0.100, mad_consistent=true)")


@pytest.mark.parametrize(
    "value, text",
    [(nan, "NaN"), (-nan, "NaN"), (inf, "inf"), (-inf, "-inf"), (-0.0, "-0.000"), (-1e-4, "-0.000"),
     (0.0625, "0.062"), (0.1875, "0.188"), (2.5e-3, "0.003"), (1e300, format(1e300, ".3f")),
     (-1.7976931348623157e308, format(-1.7976931348623157e308, ".3f"))],
)
def test_repr_number_spellings(mod, value, text):
    assert repr(mod.RobustStats(c=value)).split("c=")[1].startswith(text + ", trim=")
    assert repr(mod.RobustStats(trim=value)).endswith(f"trim={text}, mad_consistent=true)")


def test_repr_rounds_the_exact_value_like_python(mod):
    r = np.random.default_rng(3)
    values = np.r_[r.standard_normal(300) * 10.0 ** r.integers(-5, 6, 300),
                   np.arange(-2000, 2000) / 2000.0, np.arange(0, 64) / 128.0 + 0.0005]
    for v in values:
        v = float(v)
        assert repr(mod.RobustStats(c=v, trim=-v)) == (
            f"RobustStats(location='median', scale='mad', c={v:.3f}, trim={-v:.3f}, mad_consistent=true)")


# ---------------------------------------------------------------- rolling_median


@pytest.mark.parametrize(
    "x, w, expected",
    [
        ([1, 3, 2, 5], 3, [nan, nan, 2.0, 3.0]),
        ([1, 3, 2, 5], 0, [nan] * 4),
        ([1, 3, 2, 5], 5, [nan] * 4),
        ([1, 3, 2, 5], 4, [nan, nan, nan, 2.5]),
        ([1, nan, 2, 3], 2, [nan, nan, nan, 2.5]),
        ([1, nan, 2, 3], 1, [1, nan, 2, 3]),
        ([-inf, inf, 1, inf], 2, [nan, nan, inf, inf]),
        ([], 0, []),
        ([], 3, []),
    ],
)
def test_rolling_median_cases(mod, x, w, expected):
    out = mod.rolling_median(arr(x), w)
    assert out.dtype == np.float64 and same(out, expected)


WINDOWS = [1, 2, 3, 4, 5, 20, 21, 32, 33, 34, 64, 101, 500]


@pytest.mark.parametrize("w", WINDOWS)
def test_rolling_median_matches_pandas_and_bottleneck(mod, w):
    r = np.random.default_rng(w)
    x = r.standard_normal(3000)
    x[r.random(3000) < 0.002] = nan
    walk = np.cumsum(r.standard_normal(3000))
    ties = r.integers(0, 6, 3000).astype(float)
    for data in (x, walk, ties):
        before = data.copy()
        out = mod.rolling_median(data, w)
        assert same(out, pd.Series(data).rolling(w).median().to_numpy())
        assert same(out, bn.move_median(data, w))
        assert same(data, before)


@pytest.mark.parametrize("w", WINDOWS)
def test_rolling_median_orders_signed_zeros_and_infinities(mod, w):
    """Windows are ordered like the median kernel orders them: -0.0 before
    +0.0, infinities as values (-inf with +inf in the middle gives NaN)."""
    r = np.random.default_rng(100 + w)
    for pool in ([-0.0, 0.0, 1.0, -1.0], [-inf, inf, 0.0, -0.0, nan, 2.0]):
        x = r.choice(pool, 700)
        with np.errstate(invalid="ignore"):
            assert same(mod.rolling_median(x, w), ref_rolling_median(x, w))


def test_rolling_median_long_series_spans_many_stretches(mod):
    r = np.random.default_rng(5)
    x = r.standard_normal(300_000)
    x[r.random(300_000) < 1e-4] = nan
    for w in (33, 1000, 40_000, 299_999, 300_000):
        assert same(mod.rolling_median(x, w), bn.move_median(x, w))


def test_rolling_median_window_errors(mod):
    x = arr([1, 2, 3])
    with pytest.raises(OverflowError):
        mod.rolling_median(x, -1)
    with pytest.raises(TypeError, match="^argument 'window': "):
        mod.rolling_median(x, 2.0)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        mod.rolling_median(np.arange(6.0)[::2], 2)
    assert same(mod.rolling_median(x, 2**64 - 1), [nan] * 3)
