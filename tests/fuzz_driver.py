"""Calls every registered function with hostile arguments (run in a child process).

    python fuzz_driver.py SEED CALLS_PER_FUNCTION TRACE_FILE

Each function gets CALLS_PER_FUNCTION random calls, then a well-formed call on
ordinary data and the same call on finite data at the ends of the double range
(scaled by 1e-158 ... 1e153 or a power of two) and on a level of 1e12, so that
every kernel sees them past its argument checks. Before each call the call is
written to TRACE_FILE, so a crash or hang names it. Exits 0 when every call
returned or raised an allowed exception, left no exception set and left its
inputs unchanged, and a well-formed call was found for every function; exits
1 with a report otherwise.
"""
import inspect
import random
import sys
import warnings

import numpy as np

from marlox_stats import marlox_stats_rs as m

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, UnicodeEncodeError)


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")

    def __repr__(self):
        return "BadFloat()"


class BadIndex:
    def __index__(self):
        raise TypeError("no index here")

    def __repr__(self):
        return "BadIndex()"


class HugeIndex:
    def __index__(self):
        return 2**70

    def __repr__(self):
        return "HugeIndex()"


class LyingSeq:
    """Says it has 5 items, yields 2."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i < 2:
            return np.arange(3.0)
        raise IndexError(i)

    def __repr__(self):
        return "LyingSeq()"


class BadSeq:
    def __len__(self):
        raise ValueError("no len")

    def __getitem__(self, i):
        raise ValueError("no item")

    def __iter__(self):
        raise ValueError("no iter")

    def __repr__(self):
        return "BadSeq()"


def array_pool(rng):
    x = rng.standard_normal(1000)
    special = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308, 5e-324, 1.0, 2.0])
    ro = rng.standard_normal(20)
    ro.flags.writeable = False
    unaligned = np.frombuffer(bytearray(8 * 12 + 1), dtype=np.float64, offset=1, count=12)
    pool = [
        np.empty(0), np.array([1.5]), np.array([1.0, 2.0]), np.array([3.0, -1.0, 2.0]),
        x, x[:50].copy(), special, np.full(10, 7.0), np.array([0.1] * 10), np.arange(30.0),
        np.ones((3, 4)), rng.standard_normal((50, 3)), np.ones((0, 3)), np.ones((3, 0)), np.array(2.0),
        np.asfortranarray(rng.standard_normal((4, 5))), np.ones((2, 3, 4)),
        x[:40].astype(np.float32), np.arange(10), np.array([True, False]), np.array([1.0, "a"], dtype=object),
        x[:40:2], x[:40][::-1], ro, unaligned, x[:10].astype(">f8"),
        np.array([[np.nan, 1.0], [np.inf, 2.0]]),
    ]
    return pool


# Finite data far from 1: squares and products of such values overflow or
# underflow, and sums of values on a large level cancel every digit.
TINY, HUGE = [1e-150, 1e-158], [1e150, 1e152, 1e153]
LEVEL = 1e12


def base_sample(rng, shape):
    """A normal sample or a random walk (cumulative along the first axis)."""
    z = rng.standard_normal(shape)
    return np.cumsum(z, axis=0) if rng.random() < 0.5 else z


def extreme(rng, huge):
    """A (label, transform) that takes data to one end of the range: times a
    factor of TINY or HUGE, or rescaled exactly by a power of two so that its
    largest magnitude lies in [2**(k-1), 2**k), k near that end of -600 ... 511
    (where sums of squares of a few hundred values overflow or underflow)."""
    if rng.random() < 0.5:
        factor = float(rng.choice(HUGE if huge else TINY))
        return f"data * {factor!r}", lambda v: v * factor
    k = int(rng.integers(505, 512) if huge else rng.integers(-600, -489))
    return f"data to 2**{k}", lambda v: np.ldexp(v, k - np.frexp(np.abs(v).max())[1])


ORDINARY = ("ordinary", lambda v: v)
LEVELLED = (f"data + {LEVEL!r}", lambda v: v + LEVEL)


def extreme_pool(rng):
    """1-D and 2-D arrays for the random calls: far from 1 and on a level."""
    out = []
    for shape in [(100,), (100,), (40, 3)]:
        out += [extreme(rng, huge)[1](base_sample(rng, shape)) for huge in (False, True)]
        out.append(LEVELLED[1](base_sample(rng, shape)))
    return out


class ArrayArg:
    """An array argument of a well-formed call, drawn afresh for each variant:
    1-D, 2-D, a list of samples, or positive, or within (0, 1)."""

    def __init__(self, shape, kind="any"):
        self.shape, self.kind = shape, kind

    def make(self, rng, transform):
        if isinstance(self.shape, list):
            return [ArrayArg(s, self.kind).make(rng, transform) for s in self.shape]
        if self.kind == "unit":
            v = rng.uniform(0.01, 0.99, self.shape)
        else:
            v = base_sample(rng, self.shape)
            v = np.abs(v) + 1.0 if self.kind == "positive" else v
        return transform(v)


ARR, MAT = ArrayArg((100,)), ArrayArg((40, 3))
# Candidate values by parameter name, tried in order until a call on ordinary
# data succeeds; other names try GENERIC. A name shared by parameters of
# different kinds lists each kind.
HINTS = {
    "a": [ARR, MAT, ArrayArg((4, 4)), 0.0], "x": [ARR, MAT], "y": [ARR], "arr": [ARR], "resid": [ARR],
    "x_centered": [MAT], "q": [ArrayArg((100,), "unit"), 50.0], "observed": [ArrayArg((6,), "positive")],
    "pvalues": [ArrayArg((20,), "unit")], "table": [ArrayArg((2, 2), "positive")], "groups": [ArrayArg([(30,), (40,), (50,)])],
    "window": [5], "axis": [0], "alpha": [0.3], "proportion_to_cut": [0.1], "lower_percentile": [5.0],
    "upper_percentile": [95.0], "scale_factor": [1.0], "lower_q": [0.1], "upper_q": [0.9], "lower": [-1.0],
    "upper": [1.0], "periods": [1], "n_bins": [4], "tol": [1e-9], "popmean": [0.0], "equal_var": [True],
    "pooled": [True], "cdf": ["norm"], "params": [[0.0, 1.0]], "count": [4], "nobs": [10], "count1": [4],
    "nobs1": [10], "count2": [6], "nobs2": [10], "n_resamples": [50], "n_permutations": [50], "block_len": [3],
    "d": [2], "lags": [[1, 2]], "b": [1.0], "n": [3],
}
COUNTS = {"n_resamples", "n_permutations"}
GENERIC = [ARR, MAT, 5, 0.5, True, "mean"]


def well_formed(name, f, params, rng, tf, allowed, failures):
    """Argument shapes with which f returns on ordinary data, and the number of
    calls made to find them; None when none is found (a failure is recorded)."""
    # The required parameters, and those up to a replicate count: a few dozen
    # replicates reach every path of a resampling kernel, at a fraction of
    # the default's cost. Others between keep their defaults.
    chosen = [p.default is p.empty or p.name in COUNTS for p in params]
    used = params[:max([i + 1 for i, c in enumerate(chosen) if c], default=0)]
    cands = [HINTS.get(p.name, GENERIC) if c else [p.default] for p, c in zip(used, chosen)]
    used = [p.name for p in used]
    pick = [0] * len(used)
    for tries in range(1, 21):
        shapes = [c[i] for c, i in zip(cands, pick)]
        err = attempt(tf, name, f, draw(shapes, ORDINARY, rng), {}, allowed, failures, ORDINARY[0])
        if err is None:
            return shapes, tries
        if not isinstance(err, allowed):
            return None, tries
        text = str(err)
        named = text.split("'")[1] if text.startswith("argument '") else None
        # Advance the parameter the error names, else the first one with
        # candidates left.
        order = [used.index(named)] if named in used else range(len(used))
        j = next((j for j in order if pick[j] + 1 < len(cands[j])), None)
        if j is None:
            break
        pick[j] += 1
    failures.append(f"{name}: no well-formed call found among the candidates for its parameters")
    return None, tries


def draw(shapes, variant, rng):
    """The arguments of shapes, their arrays drawn afresh for the variant."""
    return [s.make(rng, variant[1]) if isinstance(s, ArrayArg) else s for s in shapes]


SCALARS = [
    0, 1, -1, 2, 3, 5, 7, 1000, 2**63, 2**64, -(2**63), 2**63 - 1,
    0.0, -0.0, 0.5, 1.0, 2.5, 0.95, 100.0, float("nan"), float("inf"), float("-inf"), 1e308, 5e-324, -3.5,
    True, False, np.True_, np.float64(1.5), np.int64(4),
    "", "mean", "std", "median", "min", "max", "two-sided", "less", "greater", "trailing", "center",
    "leading", "propagate", "ignore", "omit", "require_min_periods", " Mean ", "MEAN", "\udcff", "bonferroni",
    "holm", "fdr_bh", "huber", "mad", "iqr",
    b"mean", None, [], (), {}, {"a": 1}, [1, 2, 3], [1.0, 2.0], ["mean", "std"], ("mean",), ["mean", "bogus"],
    [0.25, 0.5, 0.75], [1, 2], [np.arange(5.0), np.arange(4.0) + 1], [np.arange(3.0)], [np.arange(6.0)[::2]],
    (np.arange(5.0), np.ones(3)), BadFloat(), BadIndex(), HugeIndex(), LyingSeq(), BadSeq(), object(),
]


def describe(v):
    if isinstance(v, np.ndarray):
        return f"ndarray(shape={v.shape}, dtype={v.dtype.str}, strides={v.strides}, aligned={v.flags.aligned})"
    if isinstance(v, (list, tuple)):
        inner = ", ".join(describe(i) for i in v)
        return f"[{inner}]" if isinstance(v, list) else f"({inner},)"
    return repr(v)


def snapshot(v):
    if isinstance(v, np.ndarray):
        return (v.dtype.str, v.shape, v.tobytes() if v.dtype != object else repr(v.tolist()))
    if isinstance(v, (list, tuple)):
        return [snapshot(i) for i in v]
    return None


def attempt(tf, name, f, args, kwargs, allowed, failures, note=None):
    """Traces and makes one call. Returns None when it returns, else the
    exception; one that is not allowed, and a changed input, are failures."""
    text = f"{name}({', '.join([describe(a) for a in args] + [f'{k}={describe(v)}' for k, v in kwargs.items()])})"
    text += f" [{note}]" if note else ""
    before = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
    tf.write(text + "\n")
    tf.flush()
    err = None
    try:
        f(*args, **kwargs)
    except allowed as e:
        err = e
    except BaseException as e:  # noqa: BLE001
        err = e
        failures.append(f"{text}: {type(e).__name__}: {e}")
    after = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
    if before != after:
        failures.append(f"{text}: modified its input")
    return err


def callables():
    out = []
    for name in m.__all__:
        obj = getattr(m, name)
        if isinstance(obj, type):
            try:
                inst = obj()
            except Exception:
                inst = None
            out.append((name, obj, ALLOWED + (RuntimeError,)))
            if inst is not None:
                for meth in ("fit", "score"):
                    if hasattr(inst, meth):
                        out.append((f"{name}.{meth}", getattr(inst, meth), ALLOWED + (RuntimeError,)))
        else:
            out.append((name, obj, ALLOWED))
    return out


def main():
    seed, per_fn, trace = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    rng = np.random.default_rng(seed)
    r = random.Random(seed)
    arrays = array_pool(rng)
    extremes = extreme_pool(rng)
    failures = []
    calls = 0
    warnings.simplefilter("ignore")
    with open(trace, "w") as tf:
        for name, f, allowed in callables():
            try:
                params = list(inspect.signature(f).parameters.values())
            except (ValueError, TypeError):
                params = []
            pos = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
            kwonly = [p for p in params if p.kind == p.KEYWORD_ONLY]
            required = sum(1 for p in pos if p.default is p.empty)
            for _ in range(per_fn):
                k = r.randint(required, len(pos)) if r.random() < 0.9 else r.randint(0, len(pos) + 1)
                args = []
                for i in range(k):
                    # Mostly well-formed arrays, so calls reach the kernels.
                    if r.random() < 0.55:
                        u = r.random()
                        args.append(arrays[r.randrange(8)] if u < 0.6 else r.choice(extremes) if u < 0.75
                                    else r.choice(arrays))
                    else:
                        args.append(r.choice(SCALARS))
                kwargs = {}
                for p in kwonly:
                    if r.random() < 0.5:
                        kwargs[p.name] = r.choice(SCALARS)
                calls += 1
                attempt(tf, name, f, args, kwargs, allowed, failures)
            # A well-formed call, then the same on data far from 1 and on a
            # large level.
            shapes, tries = well_formed(name, f, pos, rng, tf, allowed, failures)
            calls += tries
            if shapes is None or not any(isinstance(sp, ArrayArg) for sp in shapes):
                continue
            for variant in (extreme(rng, False), extreme(rng, True), LEVELLED):
                calls += 1
                attempt(tf, name, f, draw(shapes, variant, rng), {}, allowed, failures, variant[0])
    print(f"{calls} calls, {len(failures)} failures")
    for fl in failures[:50]:
        print(fl)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
