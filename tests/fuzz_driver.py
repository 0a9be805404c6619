"""Calls every registered function with hostile arguments (run in a child process).

    python fuzz_driver.py SEED CALLS_PER_FUNCTION TRACE_FILE

Before each call the call is written to TRACE_FILE, so a crash or hang names
it. Exits 0 when every call returned or raised an allowed exception, left no
exception set and left its inputs unchanged; exits 1 with a report otherwise.
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
        return f"ndarray(shape={v.shape}, dtype={v.dtype}, strides={v.strides}, aligned={v.flags.aligned})"
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
                        args.append(arrays[r.randrange(8)] if r.random() < 0.7 else r.choice(arrays))
                    else:
                        args.append(r.choice(SCALARS))
                kwargs = {}
                for p in kwonly:
                    if r.random() < 0.5:
                        kwargs[p.name] = r.choice(SCALARS)
                before = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
                text = f"{name}({', '.join(describe(a) for a in args)}{', ' if kwargs else ''}" \
                       f"{', '.join(f'{kk}={describe(v)}' for kk, v in kwargs.items())})"
                tf.write(text + "\n")
                tf.flush()
                calls += 1
                try:
                    f(*args, **kwargs)
                except allowed:
                    pass
                except BaseException as e:  # noqa: BLE001
                    failures.append(f"{text}: {type(e).__name__}: {e}")
                after = [snapshot(a) for a in args] + [snapshot(v) for v in kwargs.values()]
                if before != after:
                    failures.append(f"{text}: modified its input")
    print(f"{calls} calls, {len(failures)} failures")
    for fl in failures[:50]:
        print(fl)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
