import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (16, 10_000, 1_000_000):
        x = rng.standard_normal(n)
        yield "mean_np", n, lambda: m.mean_np(x), lambda: np.mean(x), "np.mean"
        yield "var_np", n, lambda: m.var_np(x), lambda: np.var(x, ddof=1), "np.var(ddof=1)"
        yield "std_np", n, lambda: m.std_np(x), lambda: np.std(x, ddof=1), "np.std(ddof=1)"
        yield "zscore_np", n, lambda: m.zscore_np(x), lambda: (x - x.mean()) / x.std(ddof=1), "numpy expression"
        yield "skew_np", n, lambda: m.skew_np(x), lambda: _scipy().skew(x), "scipy.stats.skew"
        yield "kurtosis_np", n, lambda: m.kurtosis_np(x), lambda: _scipy().kurtosis(x), "scipy.stats.kurtosis"
    big = rng.standard_normal(1_000_000)
    loop = _c_loop()
    yield "mean_np vs C loop", 1_000_000, lambda: m.mean_np(big), lambda: loop(big.ctypes.data, big.size), \
        "C loop (ctypes)"
    x16 = rng.standard_normal(16)
    yield "mean_np call overhead", 16, lambda: m.mean_np(x16), lambda: len(x16), "len (builtin)"
    a = rng.standard_normal((1000, 1000))
    yield "mean_axis_np axis 0", "1000x1000", lambda: m.mean_axis_np(a, 0), lambda: a.mean(axis=0), "ndarray.mean(0)"
    yield "mean_axis_np axis 1", "1000x1000", lambda: m.mean_axis_np(a, 1), lambda: a.mean(axis=1), "ndarray.mean(1)"
    yield "mean_over_last_axis_dyn_np", "1000x1000", lambda: m.mean_over_last_axis_dyn_np(a), \
        lambda: a.mean(axis=-1), "ndarray.mean(-1)"


def _c_loop():
    """A plain C loop summing left to right: the floor that summation order allows."""
    import ctypes
    import os
    import subprocess
    import tempfile

    d = tempfile.mkdtemp()
    src, lib = os.path.join(d, "loop.c"), os.path.join(d, "loop.so")
    with open(src, "w") as f:
        f.write("double mean(const double* x, long n) { double s = 0.0;"
                " for (long i = 0; i < n; ++i) s += x[i]; return s / n; }")
    subprocess.run(["cc", "-O2", "-ffp-contract=off", "-shared", "-fPIC", src, "-o", lib], check=True)
    f = ctypes.CDLL(lib).mean
    f.restype = ctypes.c_double
    f.argtypes = [ctypes.c_void_p, ctypes.c_long]
    return f


def _scipy():
    import scipy.stats

    return scipy.stats
