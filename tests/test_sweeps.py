"""Two rules swept over every registered function, on its representative call.

Equal values whose mean rounds (ten 0.1 average to 0.09999999999999999)
answer as exactly equal ones do (ten 2.0): the same errors, NaN and inf in the
same places, 0.0 where 2.0 gives 0.0.

Data scaled by a power of two, 2^k, answer as the unscaled data: an output
that carries the p-th power of the data's unit is the unscaled output times
2^(k p) wherever that is a normal number; where it overflows it may be inf or
NaN, where it is subnormal its nearest value or 0. Each output's p is learnt
from k = +-48, where nothing can overflow.
"""
import inspect
import math
import warnings

import numpy as np
import pytest

from calls import representative_calls
from marlox_stats import marlox_stats_rs as m

CALLS = representative_calls()
# The resampling functions again with each of their statistics.
for _name in [n for n in CALLS if "stat" in inspect.signature(getattr(m, n)).parameters]:
    for _stat in ("median", "std"):
        CALLS[f"{_name}:{_stat}"] = (CALLS[_name][0], _stat)
DISTRIBUTIONS = ("norm_", "exp_", "unif_")
TINY = np.finfo(float).tiny


def is_data(a):
    return isinstance(a, np.ndarray) and a.dtype == np.float64


def has_data(args):
    return any(is_data(a) or (isinstance(a, list) and a and all(is_data(b) for b in a)) for a in args)


def map_data(args, fn):
    """args with fn applied to every data array (alone or in a list of groups)."""
    out = []
    for a in args:
        if is_data(a):
            a = fn(a)
        elif isinstance(a, list) and a and all(is_data(b) for b in a):
            a = [fn(b) for b in a]
        out.append(a)
    return tuple(out)


def leaves(v, path=""):
    """(path, value) of every number in a result; a float array gives one
    leaf per element, other arrays and objects one leaf each."""
    if isinstance(v, dict):
        for key, w in v.items():
            yield from leaves(w, f"{path}[{key!r}]")
    elif isinstance(v, (list, tuple)):
        for i, w in enumerate(v):
            yield from leaves(w, f"{path}[{i}]")
    elif isinstance(v, np.ndarray) and v.dtype == np.float64:
        for i, w in enumerate(v.ravel().tolist()):
            yield f"{path}[{i}]", w
    elif isinstance(v, np.ndarray):
        yield path, (v.dtype.str, v.shape, v.tobytes())
    elif isinstance(v, float):
        yield path, v
    else:
        yield path, repr(v)


def function(name):
    return getattr(m, name.split(":")[0])


def outcome(f, args):
    """("ok", leaves) or ("error", its type and text)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "ok", list(leaves(f(*args)))
        except (TypeError, ValueError, OverflowError) as e:
            return "error", f"{type(e).__name__}: {e}"


# --- Equal values whose mean rounds ---------------------------------------

# Outputs whose values for 2.0 are themselves rounding, not a rule's zero.
CONST_EXEMPT = {
    "demean_with_signs_np": "the data's own deviations x - mean, element by element",
}
# Functions whose data are not a sample: evaluation points and probabilities.
CONST_SKIP = {"p_adjust_np": "its data are p-values, and 2.0 is none"}


def kind(v):
    if not isinstance(v, float):
        return v
    if math.isnan(v):
        return "nan"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return "zero" if v == 0.0 else "finite"


def constant_call(name, args, c):
    args = map_data(args, lambda a: np.full(a.shape, c))
    if name == "ks_1samp_np":  # the hypothesised distribution sits at the data
        args = (args[0], args[1], [c, 1.0])
    return args


CONST_NAMES = [n for n, a in CALLS.items()
               if has_data(a) and not n.startswith(DISTRIBUTIONS) and n not in CONST_SKIP]


@pytest.mark.parametrize("name", CONST_NAMES)
def test_equal_values_answer_as_constants(name):
    f, args = function(name), CALLS[name]
    status, want = outcome(f, constant_call(name, args, 2.0))
    for c in (0.1, 1 / 3, 0.7, 1.1):
        got_status, got = outcome(f, constant_call(name, args, c))
        assert got_status == status, f"c={c}: {got if got_status == 'error' else 'returned'}, 2.0: {want}"
        if status == "error":
            assert got == want
            continue
        if name in CONST_EXEMPT:
            continue
        assert len(got) == len(want)
        bad = [(p, w, g) for (p, w), (_, g) in zip(want, got) if kind(w) != kind(g)]
        assert not bad, f"c={c}: {len(bad)} outputs differ in kind from 2.0's, e.g. {bad[:3]}"


# --- Data scaled by a power of two ----------------------------------------

KS = [-1010, -600, -545, -530, -515, -505, 505, 509, 511, 515, 530, 600, 1010]
POWERS = range(-4, 5)

# Arguments that are not measurements in a unit: scaling them is no change
# of unit, and the statistics are not homogeneous in them.
SCALE_SKIP = {
    "chi2_gof_np": "its data are counts",
    "chi2_independence_np": "its data are counts",
    "odds_ratio_np": "its data are counts",
    "p_adjust_np": "its data are p-values",
}
# Scalar arguments in the data's unit, scaled with the data.
UNIT_PARAMS = {"popmean", "params", "lower", "upper", "tol", "threshold", "bandwidth", "min_height"}
# Outputs whose Part fixes a constant in the data's own units.
SCALE_EXEMPT = {
    "spectral_flatness": "its floor, 1e-10, is in the data's own units",
    "rolling_cv": "its least mean, 1e-10, is in the data's own units",
}
# Outputs homogeneous only to rounding: logarithms of the scaled variances.
APPROXIMATE = {"bartlett_test_np": 1e-9}


def scaled_call(f, args, k):
    names = list(inspect.signature(f).parameters)
    out = list(map_data(args, lambda a: np.ldexp(a, k)))
    for i, a in enumerate(out):
        if names[i] in UNIT_PARAMS:
            out[i] = [math.ldexp(v, k) for v in a] if isinstance(a, list) else math.ldexp(a, k)
    return tuple(out)


def power_of(name, r, up, dn):
    """p with up == r 2^(48 p) and dn == r 2^(-48 p), exactly (or within the
    function's tolerance); "same" for values that must not change."""
    if not isinstance(r, float) or not math.isfinite(r) or r == 0.0:
        return "same" if (up == r or kind(up) == kind(r) == "nan") and (dn == r or kind(dn) == "nan") else None
    rel = APPROXIMATE.get(name, 0.0)
    for p in POWERS:
        if all(math.isclose(v, math.ldexp(r, s * 48 * p), rel_tol=rel) for v, s in ((up, 1), (dn, -1))):
            return p
    return None


def times_pow2(r, e):
    """r 2^e, rounded once; inf where it overflows."""
    with np.errstate(over="ignore"):
        return float(np.ldexp(r, e))


def check(r, g, p, k, rel):
    """None when g is a sound answer for data scaled by 2^k, else why not."""
    if p == "same":
        return None if g == r or kind(g) == kind(r) == "nan" else f"{g!r} for {r!r}"
    want = times_pow2(r, k * p)
    if not isinstance(g, float):
        return f"{g!r} for {want!r}"
    if math.isinf(want):
        return None if not math.isfinite(g) else f"{g!r} where {r!r} 2^{k * p} overflows"
    if abs(want) < TINY:
        return None if g == want or g == 0.0 else f"{g!r} for the subnormal {want!r}"
    return None if g == want or (rel and math.isclose(g, want, rel_tol=rel)) else f"{g!r} for {want!r}"


SCALE_NAMES = [n for n, a in CALLS.items()
               if has_data(a) and not n.startswith(DISTRIBUTIONS) and n not in SCALE_SKIP]


@pytest.mark.parametrize("name", SCALE_NAMES)
def test_scaled_data_answer_as_unscaled(name):
    f, args = function(name), CALLS[name]
    status, ref = outcome(f, args)
    assert status == "ok", ref
    learnt = [outcome(f, scaled_call(f, args, k)) for k in (48, -48)]
    for st, out in learnt:
        assert st == "ok" and len(out) == len(ref), out
    powers = [power_of(name, r, u, d) for (_, r), (_, u), (_, d) in zip(ref, learnt[0][1], learnt[1][1])]
    if name in SCALE_EXEMPT:
        powers = [p if p is not None else "skip" for p in powers]
    odd = [path for (path, _), p in zip(ref, powers) if p is None]
    assert not odd, f"outputs of no power of the data's unit: {odd[:5]}"
    rel = APPROXIMATE.get(name, 0.0)
    for k in KS:
        scaled = scaled_call(f, args, k)
        # Values that do not survive the scaling (subnormal at 2^-1010) are
        # compared as they were read.
        base = ref
        if k < -1000:
            st, base = outcome(f, scaled_call(f, scaled, -k))
            assert st == "ok", base
        st, got = outcome(f, scaled)
        wants = [times_pow2(r, k * p) if isinstance(r, float) and isinstance(p, int) else r
                 for (_, r), p in zip(base, powers)]
        if st == "error":
            # An error only where some output is out of the normal range.
            assert any(isinstance(w, float) and (math.isinf(w) or 0.0 < abs(w) < TINY) for w in wants), \
                f"k={k}: {got}"
            continue
        bad = [(path, why) for (path, r), (_, g), p in zip(base, got, powers)
               if p != "skip" and (why := check(r, g, p, k, rel))]
        assert not bad, f"k={k}: {len(bad)} of {len(got)} outputs wrong, e.g. {bad[:3]}"
