import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import scipy.stats as st

    rng = np.random.default_rng(0)
    for n in (100, 1_000_000):
        x = rng.standard_normal(n)
        y = rng.standard_normal(n) + 0.1
        z = 1.5 * rng.standard_normal(n)
        g = [x, y, z]
        yield "t_test_1samp_np", n, lambda: m.t_test_1samp_np(x, 0.1), \
            lambda: st.ttest_1samp(x, 0.1), "scipy.stats.ttest_1samp"
        yield "t_test_2samp_np (pooled)", n, lambda: m.t_test_2samp_np(x, y, True), \
            lambda: st.ttest_ind(x, y), "scipy.stats.ttest_ind"
        yield "t_test_2samp_np (Welch)", n, lambda: m.t_test_2samp_np(x, y, False), \
            lambda: st.ttest_ind(x, y, equal_var=False), "ttest_ind(equal_var=False)"
        yield "t_test_paired_np", n, lambda: m.t_test_paired_np(x, y), \
            lambda: st.ttest_rel(x, y), "scipy.stats.ttest_rel"
        yield "f_test_oneway_np (3 groups)", n, lambda: m.f_test_oneway_np(g), \
            lambda: st.f_oneway(*g), "scipy.stats.f_oneway"
        yield "levene_test_np (3 groups)", n, lambda: m.levene_test_np(g), \
            lambda: st.levene(*g, center="median"), "levene(center='median')"
        yield "bartlett_test_np (3 groups)", n, lambda: m.bartlett_test_np(g), \
            lambda: st.bartlett(*g), "scipy.stats.bartlett"
        yield "f_test_var_np", n, lambda: m.f_test_var_np(x, z), \
            lambda: _f_test_var(st, x, z), "numpy var + stats.f.sf"
        yield "var_ci_np", n, lambda: m.var_ci_np(x), lambda: _var_ci(st, x), "numpy var + stats.chi2.ppf"


def _f_test_var(st, x, y):
    vx, vy = np.var(x, ddof=1), np.var(y, ddof=1)
    if vx >= vy:
        f, d1, d2 = vx / vy, len(x) - 1, len(y) - 1
    else:
        f, d1, d2 = vy / vx, len(y) - 1, len(x) - 1
    return f, min(1.0, 2 * st.f.sf(f, d1, d2))


def _var_ci(st, x):
    s2 = np.var(x, ddof=1)
    df = len(x) - 1
    lo, hi = st.chi2.ppf([0.025, 0.975], df)
    return s2, df * s2 / hi, df * s2 / lo
