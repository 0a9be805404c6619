import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import scipy.stats as st

    rng = np.random.default_rng(0)
    for n in (100, 1_000_000):
        x = rng.standard_normal(n)
        y = rng.standard_normal(n) + 0.01
        yield "mann_whitney_u_np", n, lambda: m.mann_whitney_u_np(x, y), \
            lambda: st.mannwhitneyu(x, y, method="asymptotic"), "mannwhitneyu(method='asymptotic')"
        yield "ks_1samp_np (norm, two-sided)", n, lambda: m.ks_1samp_np(x, "norm", [0.0, 1.0]), \
            lambda: st.kstest(x, "norm"), "scipy.stats.kstest"
        yield "ks_1samp_np (norm, greater)", n, lambda: m.ks_1samp_np(x, "norm", [0.0, 1.0], "greater"), \
            lambda: st.kstest(x, "norm", alternative="greater"), "kstest(alternative='greater')"
        yield "jarque_bera_np", n, lambda: m.jarque_bera_np(x), lambda: st.jarque_bera(x), "scipy.stats.jarque_bera"
        yield "anderson_darling_np", n, lambda: m.anderson_darling_np(x), \
            lambda: st.anderson(x, method="interpolate"), "anderson(method='interpolate')"
        yield "normality_summary_np", n, lambda: m.normality_summary_np(x), \
            lambda: _summary(st, x), "skew+kurtosis+jarque_bera+anderson"
    x = rng.standard_normal(5000)
    yield "ks_1samp_np (norm, exact 2-sided)", 5000, lambda: m.ks_1samp_np(x, "norm", [0.0, 1.0]), \
        lambda: st.kstest(x, "norm", method="exact"), "kstest(method='exact')"
    # a larger statistic: the matrix power has order 145
    z = np.random.default_rng(0).standard_normal(5000)
    yield "ks_1samp_np (exact, order 145)", 5000, lambda: m.ks_1samp_np(z, "norm", [0.0, 1.0]), \
        lambda: st.kstest(z, "norm", method="exact"), "kstest(method='exact')"


def _summary(st, x):
    return (st.skew(x), st.kurtosis(x, fisher=False), st.kurtosis(x), st.jarque_bera(x),
            st.anderson(x, method="interpolate"))
