import numpy as np
import pytest

from marlox_stats import marlox_stats_rs as m


@pytest.fixture(scope="session")
def mod():
    return m


def loop_sum(values, start=0.0):
    """A plain left-to-right sum (Python's sum() compensates from 3.12 on)."""
    s = start
    for v in values:
        s += float(v)
    return s


def same(a, b):
    """Bit-for-bit equality of floats or arrays, NaN equal to NaN, -0.0 != 0.0."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes() or (
        a.shape == b.shape and bool(np.all((a == b) & (np.signbit(a) == np.signbit(b)) | (np.isnan(a) & np.isnan(b))))
    )
