"""Repeated calls, successful and failing, leak neither references nor memory."""
import ctypes
import gc
import os
import sys
import time
import tracemalloc

import numpy as np
import pytest

from calls import find_calls, pool
from marlox_stats import marlox_stats_rs as m

FUNCTIONS = [n for n in m.__all__ if not isinstance(getattr(m, n), type)]


# AddressSanitizer replaces the allocator, so the native heap says nothing
# under it; reference counts and the Python heap still do.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def native_heap_bytes():
    """Bytes the C allocator has handed out and not got back (glibc)."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return 0
    fn.restype = _MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def repeat(f, args, times):
    for _ in range(times):
        try:
            f(*args)
        except (TypeError, ValueError, OverflowError, MemoryError):
            pass


def repetitions(f, args):
    """Enough calls to expose a per-call leak, within about a quarter second."""
    t = time.perf_counter()
    repeat(f, args, 20)
    per_call = (time.perf_counter() - t) / 20
    return int(min(2000, max(50, 0.25 / max(per_call, 1e-9))))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_no_leaks(name):
    f = getattr(m, name)
    ok, bad = find_calls(f, pool(200))
    for args in filter(None, (ok, bad)):
        times = repetitions(f, args)  # also warms caches and lazy state
        gc.collect()
        counts = [sys.getrefcount(a) for a in args]
        tracemalloc.start()
        snap = tracemalloc.take_snapshot()
        heap = native_heap_bytes()
        repeat(f, args, times)
        gc.collect()
        grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snap, "filename"))
        tracemalloc.stop()
        native = native_heap_bytes() - heap
        assert [sys.getrefcount(a) for a in args] == counts
        assert grown < 64 * 1024, f"Python heap grew by {grown} bytes over {times} calls"
        assert SANITIZED or native < 256 * 1024, f"native heap grew by {native} bytes over {times} calls"
