import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import bottleneck as bn
    import pandas as pd

    rng = np.random.default_rng(0)
    for n, windows in ((1_000, (20,)), (1_000_000, (5, 20, 250))):
        x = rng.standard_normal(n) + 100.0
        s = pd.Series(x)
        for w in windows:
            size = f"{n}/w{w}"
            yield "rolling_mean_np", size, lambda: m.rolling_mean_np(x, w), lambda: bn.move_mean(x, w), \
                "bn.move_mean"
            yield "rolling_std_np", size, lambda: m.rolling_std_np(x, w), \
                lambda: bn.move_std(x, w, ddof=1), "bn.move_std(ddof=1)"
            yield "rolling_var_np", size, lambda: m.rolling_var_np(x, w), \
                lambda: bn.move_var(x, w, ddof=1), "bn.move_var(ddof=1)"
            yield "rolling_mean_std_np", size, lambda: m.rolling_mean_std_np(x, w), \
                lambda: (bn.move_mean(x, w), bn.move_std(x, w, ddof=1)), "bn mean + std"
            yield "rolling_zscore_np", size, lambda: m.rolling_zscore_np(x, w), \
                lambda: (x[: n - w + 1] - bn.move_mean(x, w)[w - 1:]) / bn.move_std(x, w, ddof=1)[w - 1:], \
                "bn expression"
            yield "rolling_mean_nan_np", size, lambda: m.rolling_mean_nan_np(x, w), \
                lambda: bn.move_mean(x, w, min_count=1), "bn.move_mean(min_count=1)"
            yield "rolling_std_nan_np", size, lambda: m.rolling_std_nan_np(x, w), \
                lambda: bn.move_std(x, w, min_count=2, ddof=1), "bn.move_std(min_count=2)"
            yield "rolling_zscore_nan_np", size, lambda: m.rolling_zscore_nan_np(x, w), \
                lambda: (x - bn.move_mean(x, w, min_count=2)) / bn.move_std(x, w, min_count=2, ddof=1), \
                "bn expression"
            yield "rolling_multi_np mean", size, lambda: m.rolling_multi_np(x, w), \
                lambda: s.rolling(w).mean(), "pd rolling.mean"
            yield "rolling_multi_np std", size, lambda: m.rolling_multi_np(x, w, stats=["std"]), \
                lambda: s.rolling(w).std(), "pd rolling.std"
            yield "rolling_multi_np mean,std", size, lambda: m.rolling_multi_np(x, w, stats=["mean", "std"]), \
                lambda: s.rolling(w).agg(["mean", "std"]), "pd rolling.agg"
            yield "rolling_multi_np all six", size, lambda: m.rolling_multi_np(x, w, stats=ALL), \
                lambda: s.rolling(w).agg(ALL), "pd rolling.agg"
            yield "rolling_multi_np centered ignore", size, \
                lambda: m.rolling_multi_np(x, w, 1, "centered", "ignore", ["mean", "std"]), \
                lambda: s.rolling(w | 1, min_periods=1, center=True).agg(["mean", "std"]), "pd rolling.agg"
    # Floors: C loops of the same arithmetic order, with the test that would
    # start the sums again (ordinary data never does past tiny windows), and
    # their outputs allocated as ours are.
    floors = _c_loops()
    x = rng.standard_normal(1_000_000) + 100.0
    n, p = x.size, x.ctypes.data
    for w in (5, 20, 250):
        size, L = f"{n}/w{w}", n - w + 1
        yield "rolling_mean_std_np vs C loop", size, lambda: m.rolling_mean_std_np(x, w), \
            lambda: _floor(floors.mean_std, p, n, w, L, 2), "C loop (ctypes)"
        yield "rolling_zscore_np vs C loop", size, lambda: m.rolling_zscore_np(x, w), \
            lambda: _floor(floors.zscore, p, n, w, L, 1), "C loop (ctypes)"
        for name in ("mean_nan", "std_nan", "zscore_nan"):
            ours, floor = getattr(m, f"rolling_{name}_np"), getattr(floors, name)
            yield f"rolling_{name}_np vs C loop", size, (lambda f: lambda: f(x, w))(ours), \
                (lambda f: lambda: _floor(f, p, n, w, n, 1))(floor), "C loop (ctypes)"
    a = rng.standard_normal((10_000, 100))
    df = pd.DataFrame(a)
    yield "rolling_multi_axis0_np mean,std", "1e4x100/w20", \
        lambda: m.rolling_multi_axis0_np(a, 20, stats=["mean", "std"]), \
        lambda: df.rolling(20).agg(["mean", "std"]), "pd DataFrame rolling.agg"
    # few long columns, all six statistics (peak memory: bench/peak_memory.py)
    b = rng.standard_normal((1_000_000, 4))
    dfb = pd.DataFrame(b)
    yield "rolling_multi_axis0_np all six", "1e6x4/w20", \
        lambda: m.rolling_multi_axis0_np(b, 20, stats=ALL), \
        lambda: dfb.rolling(20).agg(ALL), "pd DataFrame rolling.agg"


ALL = ["mean", "std", "var", "count", "min", "max"]


def _floor(f, p, n, w, length, outputs):
    import numpy as np

    outs = [np.empty(length) for _ in range(outputs)]
    f(p, n, w, *(o.ctypes.data for o in outs))
    return outs


# Kahan sums of the values, of v - s and of (v - s)^2 (each step adds the
# entering term, then the negated leaving one), and the plain NaN-skipping
# sums (the mean's with its plain sum of |v|); the cheap test of each step is
# counted, never acted on.
_FLOOR_C = r"""
#include <math.h>
#include <float.h>
typedef struct { double s, e; } K;
static inline void kadd(K* k, double v) { double y = v - k->e; double t = k->s + y; k->e = (t - k->s) - y; k->s = t; }
static inline double share_of(double wd) { double h = 0.5 / wd; return h < 0x1p-8 ? h : 0x1p-8; }
static inline long engine(const double* p, long n, long w, double* mean, double* sd, double* z) {
    double s = isfinite(p[0]) ? p[0] : 0.0, wd = (double)w, wm1 = wd - 1.0, share = share_of(wd), wshare = wd * share;
    K sx = {0, 0}, s1 = {0, 0}, s2 = {0, 0};
    double mag = 0.0;
    long lost = 0, L = n - w + 1;
    for (long j = 0; j < w; ++j) { kadd(&sx, p[j]); mag += fabs(p[j]); }
    for (long j = 0; j < w; ++j) { double d = p[j] - s; kadd(&s1, d); kadd(&s2, d * d); }
    double magp = mag, s2p = s2.s;
    for (long k = 0; k < L; ++k) {
        if (k > 0) {
            double nw = p[k + w - 1], old = p[k - 1], dn = nw - s, dold = old - s;
            kadd(&s1, dn); kadd(&s1, -dold); kadd(&s2, dn * dn); kadd(&s2, -(dold * dold));
            s2p = s2.s > s2p ? s2.s : s2p;
            kadd(&sx, nw); kadd(&sx, -old);
            mag += fabs(nw) - fabs(old);
            magp = mag > magp ? mag : magp;
            lost += !((mag >= share * magp) & (mag <= DBL_MAX) & (s2.s <= DBL_MAX) &
                      (wd * s2.s - s1.s * s1.s >= wshare * s2p));
        }
        double m = sx.s / wd, var = (s2.s - (s1.s * s1.s) / wd) / wm1;
        double sdv = isnan(var) ? NAN : sqrt(var > 0.0 ? var : 0.0);
        if (z) z[k] = !isfinite(sdv) ? NAN : sdv > 0.0 ? (p[k] - m) / sdv : 0.0;
        else { mean[k] = m; sd[k] = sdv; }
    }
    return lost;
}
long mean_std(const double* p, long n, long w, double* mean, double* sd) { return engine(p, n, w, mean, sd, 0); }
long zscore(const double* p, long n, long w, double* z) { return engine(p, n, w, 0, 0, z); }
long mean_nan(const double* p, long n, long w, double* out) {
    double s1 = 0.0, mag = 0.0, peak = 0.0, share = share_of((double)w); long c = 0, lost = 0;
    for (long i = 0; i < n; ++i) {
        double v = p[i];
        if (!isnan(v)) { ++c; s1 += v; mag += fabs(v); }
        if (i >= w) { double o = p[i - w]; if (!isnan(o)) { --c; s1 -= o; mag -= fabs(o); } }
        peak = mag > peak ? mag : peak;
        lost += !((mag <= DBL_MAX) & (mag >= share * peak));
        out[i] = c >= 1 ? s1 / (double)c : NAN;
    }
    return lost;
}
static inline long nan_moments(const double* p, long n, long w, double* out, int zs) {
    double s = 0.0;
    for (long i = 0; i < n; ++i) if (isfinite(p[i])) { s = p[i]; break; }
    double s1 = 0.0, s2 = 0.0, peak = 0.0, share = share_of((double)w);
    long c = 0, lost = 0;
    for (long i = 0; i < n; ++i) {
        double v = p[i];
        if (!isnan(v)) { double d = v - s; ++c; s1 += d; s2 += d * d; }
        if (i >= w) { double o = p[i - w]; if (!isnan(o)) { double d = o - s; --c; s1 -= d; s2 -= d * d; } }
        peak = s2 > peak ? s2 : peak;
        double cd = (double)c;
        lost += !((s2 <= DBL_MAX) & ((c < 2) | (cd * s2 - s1 * s1 >= cd * share * peak)));
        double r = NAN;
        if (c >= 2) {
            double var = (s2 - (s1 * s1) / cd) / (cd - 1.0);
            var = var > 0.0 || isnan(var) ? var : 0.0;
            if (!zs) r = sqrt(var);
            else if (!isnan(v) && var > 0.0) { double sdv = sqrt(var); if (!isinf(sdv)) r = ((v - s) - s1 / cd) / sdv; }
        }
        out[i] = r;
    }
    return lost;
}
long std_nan(const double* p, long n, long w, double* out) { return nan_moments(p, n, w, out, 0); }
long zscore_nan(const double* p, long n, long w, double* out) { return nan_moments(p, n, w, out, 1); }
"""


def _c_loops():
    """The floor loops, compiled with our own flags."""
    import ctypes
    import os
    import subprocess
    import tempfile
    import types

    d = tempfile.mkdtemp()
    src, lib = os.path.join(d, "floor.c"), os.path.join(d, "floor.so")
    with open(src, "w") as f:
        f.write(_FLOOR_C)
    subprocess.run(["cc", "-O3", "-ffp-contract=off", "-fno-math-errno", "-shared", "-fPIC", src, "-o", lib],
                   check=True)
    so = ctypes.CDLL(lib)
    fns = types.SimpleNamespace()
    for name, outs in (("mean_std", 2), ("zscore", 1), ("mean_nan", 1), ("std_nan", 1), ("zscore_nan", 1)):
        f = getattr(so, name)
        f.restype = ctypes.c_long
        f.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_long] + [ctypes.c_void_p] * outs
        setattr(fns, name, f)
    return fns
