"""Rolling statistics down the columns of a 2-D array against bottleneck
and pandas. `python bench/run.py rolling_axis0`."""
import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import bottleneck as bn
    import pandas as pd

    rng = np.random.default_rng(0)
    for rows, cols, w in ((200, 10, 20), (10_000, 100, 20), (100_000, 50, 250)):
        a = 100.0 + rng.standard_normal((rows, cols))
        df = pd.DataFrame(a)
        size = f"{rows}x{cols}/w{w}"
        yield "rolling_mean_axis0_np", size, lambda: m.rolling_mean_axis0_np(a, w), \
            lambda: bn.move_mean(a, w, axis=0), "bn.move_mean(axis=0)"
        yield "rolling_mean_axis0_np", size, lambda: m.rolling_mean_axis0_np(a, w), \
            lambda: df.rolling(w).mean(), "pd DataFrame rolling.mean"
        yield "rolling_std_axis0_np", size, lambda: m.rolling_std_axis0_np(a, w), \
            lambda: bn.move_std(a, w, axis=0, ddof=1), "bn.move_std(axis=0, ddof=1)"
        yield "rolling_std_axis0_np", size, lambda: m.rolling_std_axis0_np(a, w), \
            lambda: df.rolling(w).std(), "pd DataFrame rolling.std"
        yield "rolling_mean_std_axis0_np", size, lambda: m.rolling_mean_std_axis0_np(a, w), \
            lambda: (bn.move_mean(a, w, axis=0), bn.move_std(a, w, axis=0, ddof=1)), "bn mean + std"
