import numpy as np
import pandas as pd
import bottleneck as bn

from marlox_stats import marlox_stats_rs as m


def _pd_autocorr(x, lag, w):
    s = pd.Series(x)
    return s.rolling(w).apply(lambda v: pd.Series(v).autocorr(lag), raw=True)


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (100, 1_000_000):
        x = rng.standard_normal(n)
        y = rng.standard_normal(n)
        s, t = pd.Series(x), pd.Series(y)
        w = 20
        yield "rolling_min", n, lambda: m.rolling_min(x, w), lambda: bn.move_min(x, w), "bottleneck.move_min"
        yield "rolling_max", n, lambda: m.rolling_max(x, w), lambda: bn.move_max(x, w), "bottleneck.move_max"
        yield "rolling_min", n, lambda: m.rolling_min(x, w), lambda: s.rolling(w).min(), "pandas rolling.min"
        yield "rolling_max", n, lambda: m.rolling_max(x, w), lambda: s.rolling(w).max(), "pandas rolling.max"
        yield "rolling_range", n, lambda: m.rolling_range(x, w), \
            lambda: bn.move_max(x, w) - bn.move_min(x, w), "bottleneck max - min"
        yield "rolling_cv", n, lambda: m.rolling_cv(x, w), \
            lambda: bn.move_std(x, w, ddof=1) / np.abs(bn.move_mean(x, w)), "bottleneck std / |mean|"
        yield "rolling_count_above", n, lambda: m.rolling_count_above(x, 0.0, w), \
            lambda: bn.move_sum((x > 0.0).astype(np.float64), w), "bottleneck.move_sum(x > t)"
        yield "rolling_pct_above", n, lambda: m.rolling_pct_above(x, 0.0, w), \
            lambda: bn.move_mean((x > 0.0).astype(np.float64), w), "bottleneck.move_mean(x > t)"
        yield "rolling_correlation", n, lambda: m.rolling_correlation(x, y, 50), \
            lambda: s.rolling(50).corr(t), "pandas rolling.corr"
        yield "rolling_autocorr", n, lambda: m.rolling_autocorr(x, 1, 50), \
            lambda: s.rolling(50).corr(s.shift(1)), "pandas rolling.corr(shift)"
        yield "rolling_autocorr_multi", n, lambda: m.rolling_autocorr_multi(x, [1, 2, 5], 50), \
            lambda: [s.rolling(50).corr(s.shift(k)) for k in (1, 2, 5)], "pandas rolling.corr(shift) x3"
