"""Calls every registered function while another process rewrites its input arrays.

    python race_driver.py SECONDS_PER_FUNCTION TRACE_FILE [NAME ...]

The array arguments live in a shared mapping that a writer process keeps
rewriting (sign flips, exact rescaling, NaN bursts), so values change between
the passes of a call. Results are meaningless; the process must neither crash
nor report a memory error (run it under the sanitizer build to see every
stray access). Before each function its name is written to TRACE_FILE.
Exits 0 when every call returned or raised an allowed exception.
"""
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, RuntimeError)
N = 20_000


def writer(path, size):
    a = np.memmap(path, dtype=np.float64, mode="r+", shape=(size,))
    spots = a[::13]
    keep = spots.copy()
    deadline = time.monotonic() + 3600  # the parent kills us long before
    k = 0
    while time.monotonic() < deadline and os.getppid() != 1:
        np.negative(a, out=a)
        if k % 3 == 0:
            np.multiply(a, 2.0**200, out=a)  # exact both ways for these magnitudes
            np.multiply(a, 2.0**-200, out=a)
        if k % 5 == 0:
            np.copyto(keep, spots)
            spots[:] = np.nan
            np.copyto(spots, keep)
        k += 1


def callables(m):
    out = []
    for name in m.__all__:
        obj = getattr(m, name)
        if isinstance(obj, type):
            inst = obj()
            out += [(f"{name}.{meth}", getattr(inst, meth)) for meth in ("fit", "score") if hasattr(inst, meth)]
        else:
            out.append((name, obj))
    return out


def variants(f, ok):
    """The call found, and the same with every int ten times larger when that
    works too (long windows and lags take other paths than short ones)."""
    out = [ok]
    if any(type(a) is int for a in ok):
        scaled = tuple(a * 10 if type(a) is int else a for a in ok)
        try:
            f(*scaled)
            out.append(scaled)
        except ALLOWED:
            pass
    return out


class Arena:
    """Consecutive float64 views of one shared buffer."""

    def __init__(self, path, size):
        # A plain ndarray over the mapping (a memmap subclass would reach the
        # functions as a subclass instance, which they accept as well).
        self.a = np.asarray(np.memmap(path, dtype=np.float64, mode="r+", shape=(size,)))
        self.used = 0

    def like(self, v):
        n = v.size
        if self.used + n > self.a.size:
            self.used = 0  # shared with an earlier argument: fine, all of it races
        view = self.a[self.used:self.used + n].reshape(v.shape)
        view[...] = v
        self.used += n
        return view


def racing(arg, arena):
    if isinstance(arg, np.ndarray) and arg.dtype == np.float64:
        return arena.like(arg)
    if isinstance(arg, list):
        return [racing(v, arena) for v in arg]
    return arg


def main():
    sys.path.insert(0, HERE)
    from calls import find_calls, pool
    from marlox_stats import marlox_stats_rs as m

    per_fn, trace = float(sys.argv[1]), sys.argv[2]
    only = set(sys.argv[3:])
    size = 8 * N
    fd, path = tempfile.mkstemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    os.ftruncate(fd, size * 8)
    os.close(fd)
    proc = subprocess.Popen([sys.executable, __file__, "--writer", path, str(size)])
    warnings.simplefilter("ignore")
    arena = Arena(path, size)
    # Calls are found on small data, then made on long arrays of the same kind
    # (the 2-D one kept short: some matrix results grow with its rows squared).
    small, big = pool(), pool(N)
    big[5] = big[5][: N // 20]
    calls = 0
    failures = []
    try:
        with open(trace, "w") as tf:
            for name, f in callables(m):
                if only and name not in only:
                    continue
                tf.write(name + "\n")
                tf.flush()
                ok, _ = find_calls(f, small)
                if ok is None:
                    continue
                for combo in variants(f, ok):
                    t0 = time.monotonic()
                    f(*combo)
                    # Functions whose cost grows fast with n race on the small arrays.
                    grown = big if time.monotonic() - t0 < 0.002 else small
                    arena.used = 0
                    args = [racing(next((b for s, b in zip(small, grown) if s is a), a), arena) for a in combo]
                    end = time.monotonic() + per_fn
                    done = 0
                    while done < 1 or time.monotonic() < end:
                        try:
                            f(*args)
                        except ALLOWED:
                            pass
                        except BaseException as e:  # noqa: BLE001
                            failures.append(f"{name}{tuple(map(type, combo))}: {type(e).__name__}: {e}")
                            break
                        done += 1
                    calls += done
    finally:
        proc.kill()
        proc.wait()
        os.unlink(path)
    print(f"{calls} calls, {len(failures)} failures")
    for fl in failures[:50]:
        print(fl)
    sys.stdout.flush()
    os._exit(1 if failures else 0)  # views of the shared memory are still alive


if __name__ == "__main__":
    if sys.argv[1:2] == ["--writer"]:
        writer(sys.argv[2], int(sys.argv[3]))
    else:
        main()
