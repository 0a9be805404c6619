import bottleneck as bn
import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (16, 10_000, 1_000_000):
        x = rng.standard_normal(n)
        x[rng.random(n) < 0.05] = np.nan
        yield "mean_skipna_np", n, lambda: m.mean_skipna_np(x), lambda: bn.nanmean(x), "bottleneck.nanmean"
        yield "mean_nan_np", n, lambda: m.mean_nan_np(x), lambda: np.nanmean(x), "np.nanmean"
        yield "var_skipna_np", n, lambda: m.var_skipna_np(x), lambda: bn.nanvar(x, ddof=1), "bottleneck.nanvar"
        yield "std_skipna_np", n, lambda: m.std_skipna_np(x), lambda: bn.nanstd(x, ddof=1), "bottleneck.nanstd"
        yield "zscore_skipna_np", n, lambda: m.zscore_skipna_np(x), \
            lambda: (x - bn.nanmean(x)) / bn.nanstd(x, ddof=1), "bottleneck expression"
        yield "welford_np", n, lambda: m.welford_np(x), \
            lambda: (bn.nanmean(x), bn.nanvar(x, ddof=1), np.count_nonzero(~np.isnan(x))), "bottleneck mean+var+count"
