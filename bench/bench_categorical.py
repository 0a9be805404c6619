import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import scipy.stats as st
    from statsmodels.stats.proportion import proportions_ztest

    rng = np.random.default_rng(0)
    for k in (10, 100_000):
        obs = rng.integers(1, 100, k).astype(float)
        exp = np.full(k, obs.sum() / k)
        yield "chi2_gof_np", k, lambda: m.chi2_gof_np(obs), lambda: st.chisquare(obs), "scipy.stats.chisquare"
        yield "chi2_gof_np (expected)", k, lambda: m.chi2_gof_np(obs, exp), \
            lambda: st.chisquare(obs, exp), "scipy.stats.chisquare(f_exp)"
    for shape in ((2, 3), (300, 300)):
        t = rng.integers(1, 100, shape).astype(float)
        yield "chi2_independence_np", t.size, lambda: m.chi2_independence_np(t), \
            lambda: st.chi2_contingency(t, correction=False), "chi2_contingency(correction=False)"
    yield "proportion_ztest_np", 1, lambda: m.proportion_ztest_np(30.0, 100.0, 0.4), \
        lambda: proportions_ztest(30, 100, 0.4, prop_var=0.4), "statsmodels proportions_ztest"
    c, n = np.array([30, 45]), np.array([100, 110])
    yield "two_proportions_ztest_np", 2, lambda: m.two_proportions_ztest_np(30.0, 100.0, 45.0, 110.0), \
        lambda: proportions_ztest(c, n), "statsmodels proportions_ztest"
    tab = np.array([[20.0, 7.0], [9.0, 31.0]])
    yield "odds_ratio_np", 4, lambda: m.odds_ratio_np(tab), \
        lambda: st.contingency.odds_ratio(tab.astype(int), kind="sample").confidence_interval(), \
        "scipy odds_ratio(kind='sample')"
    for n in (100, 1_000_000):
        x = rng.standard_normal(n)
        y = 0.3 * x + rng.standard_normal(n)
        yield "pearson_corr_test_np", n, lambda: m.pearson_corr_test_np(x, y), \
            lambda: st.pearsonr(x, y), "scipy.stats.pearsonr"
        yield "spearman_corr_test_np", n, lambda: m.spearman_corr_test_np(x, y), \
            lambda: st.spearmanr(x, y), "scipy.stats.spearmanr"
        yield "corr_ci_np", n, lambda: m.corr_ci_np(x, y), \
            lambda: st.pearsonr(x, y).confidence_interval(), "pearsonr(...).confidence_interval()"
