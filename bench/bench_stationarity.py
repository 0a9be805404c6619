import warnings

import numpy as np

from marlox_stats import marlox_stats_rs as m



def _sm():
    from statsmodels.tsa import stattools

    # statsmodels asks, on import, for its interpolation warning to be shown
    # every time; the peer's p-value warnings are noise in a timing loop.
    warnings.simplefilter("ignore")
    return stattools


def _vr_numpy(x, q):
    T = x.size
    mu = x.mean()
    var1 = x.var(ddof=1)
    s = np.convolve(x, np.ones(q), "valid")
    vr = ((s - q * mu) ** 2).sum() / ((1 - q / T) * ((T - q + 1) * q)) / var1
    return vr


def benchmarks():
    rng = np.random.default_rng(0)
    st = _sm()
    for n in (100, 10_000):
        x = np.cumsum(rng.standard_normal(n))
        yield "adf_test lag 0", n, lambda: m.adf_test(x, "c", 0), \
            lambda: st.adfuller(x, maxlag=0, autolag=None), "adfuller(maxlag=0, autolag=None)"
        yield "adf_test ct lag 4", n, lambda: m.adf_test(x, "ct", 4), \
            lambda: st.adfuller(x, maxlag=4, regression="ct", autolag=None), "adfuller(ct, maxlag=4)"
        yield "pp_test", n, lambda: m.pp_test(x), \
            lambda: st.adfuller(x, maxlag=0, autolag=None), "adfuller(maxlag=0) (no PP peer)"
        yield "kpss_test lag 8", n, lambda: m.kpss_test(x, "c", 8), \
            lambda: st.kpss(x, nlags=8), "kpss(nlags=8)"
        yield "trend_stationarity_test", n, lambda: m.trend_stationarity_test(x), \
            lambda: st.kpss(x, regression="ct"), "kpss(ct, auto lags)"
        yield "integration_order_test", n, lambda: m.integration_order_test(x), \
            lambda: (st.adfuller(x, maxlag=0, autolag=None), st.adfuller(np.diff(x), maxlag=0, autolag=None)), \
            "2x adfuller(maxlag=0)"
        yield "seasonal_diff_test", n, lambda: m.seasonal_diff_test(x, 12), \
            lambda: st.adfuller(x[12:] - x[:-12], maxlag=0, autolag=None), "adfuller on seasonal diff"
        r = np.diff(x)
        yield "variance_ratio_test", n, lambda: m.variance_ratio_test(r, 4), lambda: _vr_numpy(r, 4), \
            "numpy expression"
    # The automatic bandwidth of a long random walk is large (180 lags here).
    x = np.cumsum(np.random.default_rng(1).standard_normal(100_000))
    yield "kpss_test auto", x.size, lambda: m.kpss_test(x, "c"), \
        lambda: st.kpss(x, "c", nlags="auto"), "kpss(c, nlags='auto')"
    for n in (100, 1000):
        x = np.cumsum(rng.standard_normal(n))
        yield "zivot_andrews_test lag 4", n, lambda: m.zivot_andrews_test(x, 4), \
            lambda: st.zivot_andrews(x, maxlag=4, regression="ct", autolag=None), "zivot_andrews(ct, maxlag=4)"
