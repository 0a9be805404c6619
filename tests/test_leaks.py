"""Repeated calls, successful and failing, leak neither references nor memory."""
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from calls import find_calls
from marlox_stats import marlox_stats_rs as m

FUNCTIONS = [n for n in m.__all__ if not isinstance(getattr(m, n), type)]


# AddressSanitizer keeps freed memory in quarantine, so resident size says
# nothing under it; reference counts and the Python heap still do.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def repeat(f, args, times):
    for _ in range(times):
        try:
            f(*args)
        except (TypeError, ValueError, OverflowError, MemoryError):
            pass


@pytest.mark.parametrize("name", FUNCTIONS)
def test_no_leaks(name):
    f = getattr(m, name)
    ok, bad = find_calls(f)
    for args in filter(None, (ok, bad)):
        repeat(f, args, 50)  # warm caches and lazy state
        gc.collect()
        counts = [sys.getrefcount(a) for a in args]
        tracemalloc.start()
        snap = tracemalloc.take_snapshot()
        rss = rss_bytes()
        repeat(f, args, 2000)
        gc.collect()
        grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snap, "filename"))
        tracemalloc.stop()
        assert [sys.getrefcount(a) for a in args] == counts
        assert grown < 256 * 1024, f"Python heap grew by {grown} bytes"
        assert SANITIZED or rss_bytes() - rss < 8 * 1024 * 1024, "resident size grew"
