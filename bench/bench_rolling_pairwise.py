"""Rolling covariance, correlation and regression of two series against
pandas. `python bench/run.py rolling_pairwise`."""
import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import pandas as pd

    rng = np.random.default_rng(0)
    for n, w in ((1_000, 20), (1_000_000, 20), (1_000_000, 250)):
        x = 100.0 + rng.standard_normal(n)
        y = 0.5 * x + rng.standard_normal(n)
        xn = x.copy()
        xn[rng.random(n) < 0.01] = np.nan
        sx, sy, sxn = pd.Series(x), pd.Series(y), pd.Series(xn)
        size = f"{n}/w{w}"
        yield "rolling_cov_np", size, lambda: m.rolling_cov_np(x, y, w), \
            lambda: sx.rolling(w).cov(sy), "pd rolling.cov"
        yield "rolling_corr_np", size, lambda: m.rolling_corr_np(x, y, w), \
            lambda: sx.rolling(w).corr(sy), "pd rolling.corr"
        yield "rolling_cov_nan_np", size, lambda: m.rolling_cov_nan_np(xn, y, w), \
            lambda: sxn.rolling(w).cov(sy), "pd rolling.cov"
        yield "rolling_corr_nan_np", size, lambda: m.rolling_corr_nan_np(xn, y, w), \
            lambda: sxn.rolling(w).corr(sy), "pd rolling.corr"
        yield "rolling_beta_skipna", size, lambda: m.rolling_beta_skipna(xn, y, w), \
            lambda: sxn.rolling(w, min_periods=2).cov(sy) / sxn.rolling(w, min_periods=2).var(), \
            "pd rolling cov / var"
        yield "rolling_linreg_skipna", size, lambda: m.rolling_linreg_skipna(xn, y, w), \
            lambda: _pd_linreg(pd, sxn, sy, w), "pd rolling cov/var, means"


def _pd_linreg(pd, x, y, w):
    ok = x.notna() & y.notna()
    xm, ym = x.where(ok), y.where(ok)
    b = xm.rolling(w, min_periods=2).cov(ym) / xm.rolling(w, min_periods=2).var()
    a = ym.rolling(w, min_periods=2).mean() - b * xm.rolling(w, min_periods=2).mean()
    return b, a
