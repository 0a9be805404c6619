"""Autocorrelation, partial autocorrelation and residual diagnostics against statsmodels.

At 10^6 values statsmodels' direct (fft=False) acf, pacf(method="ldb") and
acorr_ljungbox correlate the whole series with itself, O(n^2): the peer there is
the call a user would switch to (the FFT acf, or Levinson-Durbin on the
lag-limited acovf).
"""
import numpy as np
from scipy.signal import lfilter

from marlox_stats import marlox_stats_rs as m

LAGS = 40


def ar1(n, phi=0.6, seed=0):
    """x_t = phi·x_{t-1} + e_t with standard normal e."""
    return lfilter([1.0], [1.0, -phi], np.random.default_rng(seed).standard_normal(n))


def benchmarks():
    import statsmodels.api as sm
    import statsmodels.tsa.stattools as st
    from statsmodels.sandbox.stats.runs import runstest_1samp
    from statsmodels.stats.diagnostic import acorr_breusch_godfrey, acorr_ljungbox
    from statsmodels.stats.stattools import durbin_watson

    for n in (1_000, 1_000_000):
        x = ar1(n)
        y = ar1(n, phi=-0.3, seed=1) + 0.5 * x
        big = n > 10_000
        fft = big  # direct statsmodels acf is quadratic in n
        X = np.column_stack([np.ones(n), np.random.default_rng(2).standard_normal(n)])
        res = sm.OLS(x, X).fit()
        resid = np.ascontiguousarray(res.resid)

        yield "acf", n, lambda: m.acf(x, LAGS), lambda: st.acf(x, nlags=LAGS, fft=fft), f"sm acf(fft={fft})"
        yield "acovf", n, lambda: m.acovf(x, LAGS), lambda: st.acovf(x, nlag=LAGS, fft=False), \
            "sm acovf(nlag, fft=False)"
        yield "ccf", n, lambda: m.ccf(x, y, LAGS), \
            lambda: (st.ccf(x, y, adjusted=False, fft=fft, nlags=LAGS + 1),
                     st.ccf(y, x, adjusted=False, fft=fft, nlags=LAGS + 1)), f"sm ccf both sides (fft={fft})"
        yield "acf_with_ci", n, lambda: m.acf_with_ci(x, LAGS), \
            lambda: st.acf(x, nlags=LAGS, fft=fft, alpha=0.05, result_object=False), f"sm acf(alpha, fft={fft})"
        if big:
            dl = lambda: st.levinson_durbin(st.acovf(x, nlag=LAGS, fft=False), nlags=LAGS, isacov=True)
            yield "pacf", n, lambda: m.pacf(x, LAGS), dl, "sm levinson_durbin(acovf(nlag))"
            yield "pacf_innovations", n, lambda: m.pacf_innovations(x, LAGS), dl, "sm levinson_durbin(acovf(nlag))"
        else:
            yield "pacf", n, lambda: m.pacf(x, LAGS), lambda: st.pacf(x, nlags=LAGS, method="ldb"), \
                "sm pacf(ldb)"
            yield "pacf_innovations", n, lambda: m.pacf_innovations(x, LAGS), \
                lambda: st.pacf(x, nlags=LAGS, method="ldb"), "sm pacf(ldb)"
        yield "pacf_yw", n, lambda: m.pacf_yw(x, LAGS), lambda: st.pacf(x, nlags=LAGS, method="ywm"), "sm pacf(ywm)"
        yield "pacf_burg", n, lambda: m.pacf_burg(x, LAGS), lambda: st.pacf(x, nlags=LAGS, method="burg"), \
            "sm pacf(burg)"
        if big:
            lb = lambda: st.q_stat(st.acf(x, nlags=LAGS, fft=True)[1:], n)
            yield "ljung_box", n, lambda: m.ljung_box(x, LAGS), lb, "sm q_stat(acf(fft=True))"
            yield "box_pierce", n, lambda: m.box_pierce(x, LAGS), lb, "sm q_stat(acf(fft=True))"
        else:
            lb = lambda: acorr_ljungbox(x, lags=[LAGS], boxpierce=True)
            yield "ljung_box", n, lambda: m.ljung_box(x, LAGS), lb, "sm acorr_ljungbox(boxpierce)"
            yield "box_pierce", n, lambda: m.box_pierce(x, LAGS), lb, "sm acorr_ljungbox(boxpierce)"
        yield "acf_zero_crossing", n, lambda: m.acf_zero_crossing(x, LAGS), \
            lambda: np.argmax(st.acf(x, nlags=LAGS, fft=fft) <= 0), f"sm acf(fft={fft}) + argmax"
        yield "runs_test", n, lambda: m.runs_test(x), lambda: runstest_1samp(x, cutoff="median"), \
            "sm runstest_1samp(median)"
        yield "durbin_watson", n, lambda: m.durbin_watson(x), lambda: durbin_watson(x), "sm durbin_watson"
        yield "bg_test", n, lambda: m.bg_test(resid, 5, X), \
            lambda: acorr_breusch_godfrey(res, nlags=5, result_object=False), "sm acorr_breusch_godfrey"
