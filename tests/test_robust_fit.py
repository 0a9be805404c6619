import copy
import gc
import inspect
import itertools
import math
import pickle
import subprocess
import sys
import tracemalloc

import bottleneck as bn
import numpy as np
import pandas as pd
import pytest

from reference import interp, loop_sum, ref_mad, ref_median, ref_qn, ref_trimmed, same, total_sorted

nan, inf = math.nan, math.inf
MAD_NORMAL = 1.482602218505602


def arr(x):
    return np.array(x, dtype=np.float64)


# ---------------------------------------------------------------- references


def nan_aware_median(x):
    return nan if len(x) == 0 or np.isnan(x).any() else ref_median(x)


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
    mu = nan_aware_median(x)
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
        loc = nan_aware_median(x)
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
        out[i] = nan_aware_median(x[i - w + 1:i + 1])
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
        # a bad location is reported before a bad scale
        ("huber", "Qn", SCALE_MSG.format("Qn")),
        ("HUBER", "Qn", LOCATION_MSG.format("HUBER")),
        ("trimmed_mean ", "mad", LOCATION_MSG.format("trimmed_mean ")),
        ("median", "mad\n", SCALE_MSG.format("mad\n")),
        ("trimmed_mean", "", SCALE_MSG.format("")),
    ],
)
def test_invalid_names(mod, location, scale, message):
    x = arr([1, 2, 3])
    for call in (
        lambda: mod.robust_fit(x, location, scale),
        lambda: mod.robust_score(x, location=location, scale=scale),
        lambda: mod.robust_score(x, location, scale),
        lambda: mod.RobustStats(location, scale),
        lambda: mod.RobustStats(scale=scale, location=location),
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


# =================== records, error order, Huber with any limit, rolling median

SIG = '(x, location="median", scale="mad", c=1.345, trim=0.1, max_iter=50, tol=1e-6, mad_consistent=True)'


# ---------------------------------------------------------------- records


def test_text_signatures_as_written(mod):
    assert mod.robust_fit.__text_signature__ == SIG
    assert mod.robust_score.__text_signature__ == SIG
    assert mod.rolling_median.__text_signature__ == "(x, window)"
    assert mod.RobustStats.__text_signature__ == SIG.replace("(x, ", "(")
    for f in (mod.robust_fit, mod.robust_score, mod.RobustStats):
        params = inspect.signature(f).parameters
        defaults = {k: p.default for k, p in params.items() if p.default is not p.empty}
        assert defaults == dict(location="median", scale="mad", c=1.345, trim=0.1, max_iter=50, tol=1e-6,
                                mad_consistent=True)
        assert type(defaults["max_iter"]) is int and defaults["mad_consistent"] is True
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())


def test_class_docstring_describes_every_parameter(mod):
    doc = mod.RobustStats.__doc__
    assert doc.splitlines()[0] == "Robust statistics estimator with configurable policies - OPTIMIZED"
    assert "--" not in doc.splitlines()[0]
    for default in ("median", "mad", "1.345", "0.1", "50", "1e-6", "True"):
        assert default in doc


# ---------------------------------------------------------------- error order


def test_conversions_come_before_the_names(mod):
    x = arr([1, 2, 3])
    with pytest.raises(OverflowError):
        mod.robust_fit(x, "bogus", max_iter=-1)
    with pytest.raises(TypeError, match="^argument 'mad_consistent': 'int' object cannot be converted to 'PyBool'$"):
        mod.RobustStats("bogus", mad_consistent=0)
    with pytest.raises(TypeError, match="^argument 'tol': "):
        mod.robust_score(x[::2], "bogus", tol="1e-6")
    # ...and the array's layout after every conversion, before the names.
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        mod.robust_score(np.arange(4.0)[::-1], "bogus", "bogus")


def test_fit_and_score_never_raise_value_errors(mod):
    rs = mod.RobustStats("trimmed_mean", "qn", trim=-3.0, c=nan, max_iter=0, tol=nan)
    assert same(rs.fit(arr([1, 2, 3])), (nan, 2.2219))
    assert same(rs.score(arr([1, 2, 3])), [nan] * 3)


# ---------------------------------------------------------------- Huber of robust fit


def huber_steps(x, mu, s, c):
    """The location after one weighted step, in the order the values come."""
    psi = w = 0.0
    for v in x:
        u = (v - mu) / s
        if abs(u) <= c:
            psi += u
            w += 1.0
        else:
            psi += c * math.copysign(1.0, u)
            w += c / abs(u)
    return psi, w


def ref_huber_with_cycles(x, s, c=1.345, max_iter=50, tol=1e-6):
    """Median start, tolerance tol * s, zero weight sum keeps mu. A repeated
    location means a cycle, after which only max_iter modulo its length counts."""
    mu = float(np.median(x))
    if max_iter == 0 or s == 0 or not math.isfinite(s):
        return mu
    seen, path, it = {}, [], 0
    while True:
        psi, w = huber_steps(x, mu, s, c)
        if w == 0.0:
            return mu
        it += 1
        step = (s * psi) / w
        mu = mu + step
        if abs(step) < tol * s or it >= max_iter:
            return mu
        if math.isnan(mu):
            return mu
        if mu in seen:
            first = seen[mu]
            period = it - first
            return path[first - 1 + (max_iter - first) % period]
        seen[mu] = it
        path.append(mu)


RNG = np.random.default_rng(2024)
SAMPLES = [RNG.standard_normal(int(n)) * 10.0 ** int(e) for n, e in zip(RNG.integers(5, 60, 24), RNG.integers(-3, 4, 24))]


def mad_scale(x):
    return float(np.median(np.abs(x - np.median(x)))) * MAD_NORMAL


@pytest.mark.parametrize("max_iter", [1, 2, 7, 30, 50, 64, 1001, 4096])
def test_huber_any_iteration_limit_with_an_unreachable_tolerance(mod, max_iter):
    for x in SAMPLES:
        for tol in (0.0, -1.0, nan):
            assert same(mod.robust_fit(x, "huber", tol=tol, max_iter=max_iter)[0],
                        ref_huber_with_cycles(x, mad_scale(x), 1.345, max_iter, tol))


HUGE = """
import numpy as np
from marlox_stats import marlox_stats_rs as m
for x in [np.array(v) for v in {samples!r}]:
    for it in {limits!r}:
        print(repr(m.RobustStats("huber", "mad", 1.345, 0.1, it, 0.0).fit(x)[0]))
        print(repr(m.robust_fit(x, "huber", tol=float("nan"), max_iter=it)[0]))
"""


def test_huber_huge_iteration_limits_end_and_keep_the_count(mod):
    """Rounding settles the iteration into a cycle of locations; the result
    is still the location after exactly max_iter steps."""
    limits = [10**9 + 7, 2**63, 2**64 - 1]
    samples = [x.tolist() for x in SAMPLES]
    out = subprocess.run([sys.executable, "-c", HUGE.format(samples=samples, limits=limits)],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    got = [float(v) for v in out.stdout.split()]
    expected = [ref_huber_with_cycles(arr(x), mad_scale(arr(x)), 1.345, it, tol)
                for x in samples for it in limits for tol in (0.0, nan)]
    assert same(got, expected)


def test_huber_defaults_are_fifty_steps_relative_tolerance_and_consistent_mad(mod):
    x = arr([1.5, 0.1, 2.7, -3.7, -0.8, -2.4, 3.0, 0.2, -1.5, 40.0])
    s = mad_scale(x)
    got = mod.robust_fit(x, "huber", c=0.5, tol=0.0)
    assert same(got, (ref_huber_with_cycles(x, s, 0.5, 50, 0.0), s))
    assert got[0] != ref_huber_with_cycles(x, s, 0.5, 30, 0.0)  # still moving after 30 steps
    assert same(mod.robust_fit(x, "huber", c=0.5), (ref_huber_with_cycles(x, s, 0.5), s))
    assert mod.robust_fit(x, "huber", c=0.5)[0] != mod.huber_location_np(x, 0.5, 50)  # 1.4826
    # tol is relative to the scale: a tolerance above every step stops after one.
    assert same(mod.robust_fit(x, "huber", tol=1e6)[0], ref_huber_with_cycles(x, s, 1.345, 1))


@pytest.mark.parametrize(
    "x, scale, mad_consistent",
    [
        ([1, 2, 2, 2, 50], "mad", True),  # MAD 0
        ([-inf, -inf, 1, 2, 3], "iqr", True),  # IQR inf
        ([1, 2, 3, inf, inf, inf], "qn", False),  # Qn inf
        ([inf, -inf, 1], "mad", False),  # median 1, MAD inf
    ],
)
def test_huber_with_a_degenerate_scale_is_the_median(mod, x, scale, mad_consistent):
    x = arr(x)
    loc, s = mod.robust_fit(x, "huber", scale, mad_consistent=mad_consistent)
    assert s == 0.0 or math.isinf(s)
    assert loc == float(np.median(x))


def test_huber_zero_weight_sum_keeps_the_location_in_both_variants(mod):
    x = arr([1, 2, 4, 5])  # median 3 is none of the values: every weight is c / |u| = 0
    assert mod.robust_fit(x, "huber", c=0.0) == (3.0, 1.5 * MAD_NORMAL)
    assert mod.huber_location_np(x, 0.0) == 3.0
    # c < 0: weights negative, not zero; the steps run as written.
    s = 1.5 * MAD_NORMAL
    with np.errstate(all="ignore"):
        assert same(mod.robust_fit(x, "huber", c=-1.0, max_iter=5)[0], ref_huber_with_cycles(x, s, -1.0, 5))


# ---------------------------------------------------------------- score


def test_score_is_built_from_the_fit(mod):
    x = arr([3.0, -1.0, 7.5, 0.25, 1e3, -0.0])
    for loc in ("median", "trimmed_mean", "huber"):
        for sc in ("mad", "iqr", "qn"):
            for mc in (True, False):
                f = mod.robust_fit(x, loc, sc, mad_consistent=mc)
                assert same(mod.robust_score(x, loc, sc, mad_consistent=mc), (x - f[0]) / f[1])


def test_score_of_empty_is_one_nan_for_every_policy(mod):
    for loc in ("median", "trimmed_mean", "huber"):
        for sc in ("mad", "iqr", "qn"):
            out = mod.robust_score(arr([]), loc, sc)
            assert out.shape == (1,) and out.dtype == np.float64 and math.isnan(out[0])
            assert same(mod.robust_fit(arr([]), loc, sc), (nan, nan))


# ---------------------------------------------------------------- rolling_median


def per_window(mod, x, w):
    out = np.full(len(x), nan)
    if 0 < w <= len(x):
        for i in range(w - 1, len(x)):
            out[i] = mod.median_np(x[i - w + 1:i + 1].copy())
    return out


POOLS = {
    "zeros": [-0.0, 0.0],
    "zeros-and-ones": [-0.0, 0.0, 1.0, -1.0],
    "infinities": [-inf, inf, -0.0, 0.0, 3.0],
    "ties-nan": [1.0, 1.0, 2.0, 2.0, nan],
    "huge": [1.7e308, -1.7e308, 1e308, 5e-324, -5e-324],
}


@pytest.mark.parametrize("w", [1, 2, 3, 31, 32, 33, 34, 63, 64, 65, 66, 127, 128, 129])
@pytest.mark.parametrize("pool", list(POOLS))
def test_rolling_median_is_the_median_of_each_window(mod, w, pool):
    r = np.random.default_rng(w * 31 + len(pool))
    x = r.choice(np.array(POOLS[pool]), 600)
    if pool == "ties-nan":
        x[r.random(600) < 0.9] = 1.5  # NaN rare enough to leave full windows
    before = x.copy()
    with np.errstate(all="ignore"):
        assert same(mod.rolling_median(x, w), per_window(mod, x, w))
    assert same(x, before)


@pytest.mark.parametrize("w", [33, 64, 65, 8191, 32768, 32769])
def test_rolling_median_across_stretches(mod, w):
    r = np.random.default_rng(w)
    n = 70_000
    x = r.integers(-3, 4, n).astype(float)
    x[x == 0] = r.choice(np.array([0.0, -0.0]), int((x == 0).sum()))
    x[r.random(n) < 1e-3] = inf
    x[r.random(n) < 1e-3] = -inf
    x[r.random(n) < 0.1 / w] = nan
    with np.errstate(all="ignore"):
        assert same(mod.rolling_median(x, w), per_window(mod, x, w))


@pytest.mark.parametrize("n", [0, 1, 5])
@pytest.mark.parametrize("w", [0, 6, 2**32, 2**63, 2**64 - 1])
def test_rolling_median_window_zero_or_longer_than_the_series(mod, n, w):
    out = mod.rolling_median(np.ones(n), w)
    assert out.dtype == np.float64 and out.shape == (n,) and np.isnan(out).all()


def test_rolling_median_window_equal_to_the_series(mod):
    for x in ([4.0, -0.0, 0.0, 1.0], [2.0, 1.0, 3.0], [inf, -inf]):
        x = arr(x)
        with np.errstate(invalid="ignore"):
            assert same(mod.rolling_median(x, len(x)), [nan] * (len(x) - 1) + [mod.median_np(x)])


# ---------------------------------------------------------------- RobustStats


def test_construction_through_new_and_class(mod):
    R = mod.RobustStats
    assert repr(R.__new__(R)) == repr(R())
    assert repr(R.__new__(R, "trimmed_mean", "iqr", 2, True, 0, 0, np.False_)) == (
        "RobustStats(location='trimmed_mean', scale='iqr', c=2.000, trim=1.000, mad_consistent=false)")
    with pytest.raises(TypeError, match=r"^RobustStats.__new__\(\) got an unexpected keyword argument 'x'$"):
        R(x=arr([1.0]))
    with pytest.raises(ValueError, match="^Invalid scale: MAD. Must be 'mad', 'iqr', or 'qn'$"):
        R(scale="MAD")


@pytest.mark.parametrize(
    "value, text",
    [(0.0625, "0.062"), (-0.0625, "-0.062"), (2.0625, "2.062"), (2.4375, "2.438"), (1e-4, "0.000"),
     (2.5e-3, "0.003"), (0.0005, "0.001"), (2.0005, "2.001"), (-0.0, "-0.000"), (0.0, "0.000"),
     (-4e-4, "-0.000"), (10**20, "100000000000000000000.000"), (nan, "NaN"), (inf, "inf"), (-inf, "-inf")],
)
def test_repr_three_decimals_of_the_exact_value(mod, value, text):
    rs = mod.RobustStats("huber", "iqr", value, value, 3, 0.5, False)
    assert repr(rs) == f"RobustStats(location='huber', scale='iqr', c={text}, trim={text}, mad_consistent=false)"
    assert str(rs) == repr(rs)
