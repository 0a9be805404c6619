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
