"""Robust fit and score, rolling median and RobustStats: records, error order,
the Huber iteration of robust fit with any max_iter and tolerance, and the
rolling median against the median kernel window by window."""
import inspect
import math
import subprocess
import sys

import numpy as np
import pytest

from reference import same

nan, inf = math.nan, math.inf
MAD_NORMAL = 1.482602218505602
SIG = '(x, location="median", scale="mad", c=1.345, trim=0.1, max_iter=50, tol=1e-6, mad_consistent=True)'
LOC_MSG = "Invalid location: {}. Must be 'median', 'trimmed_mean', or 'huber'"
SCALE_MSG = "Invalid scale: {}. Must be 'mad', 'iqr', or 'qn'"


def arr(x):
    return np.array(x, dtype=np.float64)


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


@pytest.mark.parametrize(
    "location, scale, message",
    [
        ("huber", "Qn", SCALE_MSG.format("Qn")),
        ("HUBER", "Qn", LOC_MSG.format("HUBER")),
        ("trimmed_mean ", "mad", LOC_MSG.format("trimmed_mean ")),
        ("median", "mad\n", SCALE_MSG.format("mad\n")),
        ("trimmed_mean", "", SCALE_MSG.format("")),
    ],
)
def test_location_is_reported_before_scale(mod, location, scale, message):
    x = arr([1, 2, 3])
    for call in (lambda: mod.robust_fit(x, location, scale), lambda: mod.robust_score(x, location, scale),
                 lambda: mod.RobustStats(scale=scale, location=location)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


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


def ref_huber(x, s, c=1.345, max_iter=50, tol=1e-6):
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
                        ref_huber(x, mad_scale(x), 1.345, max_iter, tol))


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
    expected = [ref_huber(arr(x), mad_scale(arr(x)), 1.345, it, tol)
                for x in samples for it in limits for tol in (0.0, nan)]
    assert same(got, expected)


def test_huber_defaults_are_fifty_steps_relative_tolerance_and_consistent_mad(mod):
    x = arr([1.5, 0.1, 2.7, -3.7, -0.8, -2.4, 3.0, 0.2, -1.5, 40.0])
    s = mad_scale(x)
    got = mod.robust_fit(x, "huber", c=0.5, tol=0.0)
    assert same(got, (ref_huber(x, s, 0.5, 50, 0.0), s))
    assert got[0] != ref_huber(x, s, 0.5, 30, 0.0)  # still moving after 30 steps
    assert same(mod.robust_fit(x, "huber", c=0.5), (ref_huber(x, s, 0.5), s))
    assert mod.robust_fit(x, "huber", c=0.5)[0] != mod.huber_location_np(x, 0.5, 50)  # 1.4826
    # tol is relative to the scale: a tolerance above every step stops after one.
    assert same(mod.robust_fit(x, "huber", tol=1e6)[0], ref_huber(x, s, 1.345, 1))


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
        assert same(mod.robust_fit(x, "huber", c=-1.0, max_iter=5)[0], ref_huber(x, s, -1.0, 5))


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
