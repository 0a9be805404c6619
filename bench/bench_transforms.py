import numpy as np
import pandas as pd

from marlox_stats import marlox_stats_rs as m


def _minmax(x):
    lo, hi = x.min(), x.max()
    return (x - lo) / (hi - lo), lo, hi


def _demean_signs(x):
    d = x - x.mean()
    return d, np.sign(d).astype(np.int8)


def _kde_peer(x, points):
    from scipy.stats import gaussian_kde

    k = gaussian_kde(x)
    h = np.sqrt(k.covariance[0, 0])
    return k(np.linspace(x.min() - 3 * h, x.max() + 3 * h, points))


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (100, 10_000, 1_000_000):
        x = rng.standard_normal(n) + 5.0
        s = pd.Series(x)
        yield "cumsum_np", n, lambda: m.cumsum_np(x), lambda: np.cumsum(x), "np.cumsum"
        yield "cummean_np", n, lambda: m.cummean_np(x), lambda: np.cumsum(x) / np.arange(1, len(x) + 1), \
            "np.cumsum / arange"
        yield "diff_np", n, lambda: m.diff_np(x), lambda: s.diff(), "pandas Series.diff"
        yield "pct_change_np", n, lambda: m.pct_change_np(x, 1), lambda: s.pct_change(), "pandas Series.pct_change"
        yield "ewma_np", n, lambda: m.ewma_np(x, 0.1), lambda: s.ewm(alpha=0.1, adjust=False).mean(), \
            "pandas ewm(adjust=False)"
        yield "minmax_scale_np", n, lambda: m.minmax_scale_np(x), lambda: _minmax(x), "numpy expression"
        yield "sign_mask_np", n, lambda: m.sign_mask_np(x - 5.0), lambda: np.sign(x - 5.0).astype(np.int8), \
            "np.sign astype int8"
        yield "demean_with_signs_np", n, lambda: m.demean_with_signs_np(x), lambda: _demean_signs(x), \
            "numpy expression"
        yield "ecdf_np", n, lambda: m.ecdf_np(x), lambda: (np.sort(x), np.arange(1, len(x) + 1) / len(x)), \
            "np.sort + arange"
        yield "quantile_bins_np", n, lambda: m.quantile_bins_np(x, 10), lambda: pd.qcut(x, 10, labels=False), \
            "pandas.qcut"
        yield "pad_nan_np", n, lambda: m.pad_nan_np(n), lambda: np.full(n, np.nan), "np.full"
    for n in (100, 10_000):
        x = rng.standard_normal(n)
        yield "kde_gaussian_np", n, lambda: m.kde_gaussian_np(x), lambda: _kde_peer(x, 200), "scipy gaussian_kde"
