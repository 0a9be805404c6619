import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import bottleneck as bn
    import pandas as pd
    import scipy.stats as ss

    rng = np.random.default_rng(0)

    def fit_peer(x):
        return np.median(x), ss.median_abs_deviation(x, scale="normal")

    def score_peer(x):
        return (x - np.median(x)) / ss.median_abs_deviation(x, scale="normal")

    peer_name = 'np.median + scipy MAD(scale="normal")'
    for n in (100, 10_000, 1_000_000):
        x = rng.standard_normal(n)
        rs = m.RobustStats()
        yield "robust_fit", n, lambda: m.robust_fit(x), lambda: fit_peer(x), peer_name
        yield "robust_score", n, lambda: m.robust_score(x), lambda: score_peer(x), peer_name
        yield "RobustStats.fit", n, lambda: rs.fit(x), lambda: fit_peer(x), peer_name
        yield "RobustStats.score", n, lambda: rs.score(x), lambda: score_peer(x), peer_name
    x = rng.standard_normal(1_000_000)
    walk = np.cumsum(x)
    for w in (5, 21, 101, 1001, 100_001):
        yield f"rolling_median w={w}", 1_000_000, lambda: m.rolling_median(x, w), \
            lambda: bn.move_median(x, w), "bottleneck.move_median"
    yield "rolling_median w=21 random walk", 1_000_000, lambda: m.rolling_median(walk, 21), \
        lambda: bn.move_median(walk, 21), "bottleneck.move_median"
    s = pd.Series(x)
    yield "rolling_median w=21", 1_000_000, lambda: m.rolling_median(x, 21), \
        lambda: s.rolling(21).median(), "pandas rolling(21).median()"
