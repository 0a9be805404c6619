import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import scipy.stats as st
    from statsmodels.stats.multitest import multipletests

    rng = np.random.default_rng(0)
    for n in (100, 1_000_000):
        x = rng.standard_normal(n)
        y = rng.standard_normal(n) + 0.2
        g = [x, y, 1.5 * rng.standard_normal(n)]
        yield "cohens_d_2samp_np", n, lambda: m.cohens_d_2samp_np(x, y, True), \
            lambda: _cohens_d(x, y), "numpy mean/var expression"
        yield "hedges_g_2samp_np2", n, lambda: m.hedges_g_2samp_np2(x, y, True), \
            lambda: _cohens_d(x, y) * (1 - 3 / (4 * (len(x) + len(y) - 2) - 1)), "numpy expression"
        yield "mean_diff_ci_np (Welch)", n, lambda: m.mean_diff_ci_np(x, y, 0.05, False), \
            lambda: st.ttest_ind(x, y, equal_var=False).confidence_interval(0.95), \
            "ttest_ind(...).confidence_interval"
        yield "rank_biserial_np", n, lambda: m.rank_biserial_np(x, y), \
            lambda: _rank_biserial(st, x, y), "stats.rankdata expression"
        yield "anova_effect_sizes_np (3 groups)", n, lambda: m.anova_effect_sizes_np(g), \
            lambda: _anova(g), "numpy expression"
        yield "normality_summary_np", n, lambda: m.normality_summary_np(x), \
            lambda: _normality(st, x), "stats.skew/kurtosis/jarque_bera + AD expression"
        p = rng.uniform(0, 1, n) ** 3
        for ours, theirs in (("bonferroni", "bonferroni"), ("holm", "holm"), ("bh", "fdr_bh")):
            yield f"p_adjust_np {ours}", n, lambda p=p, o=ours: m.p_adjust_np(p, o), \
                lambda p=p, t=theirs: multipletests(p, method=t)[1], f"multipletests('{theirs}')"
    for n in (100, 3000):
        x = np.round(rng.standard_normal(n), 2)
        y = np.round(rng.standard_normal(n), 2)
        yield "cliffs_delta_np", n, lambda: m.cliffs_delta_np(x, y), \
            lambda: _cliffs(x, y), "numpy sign(x[:,None]-y) expression"
    x = rng.standard_normal(1_000_000)
    y = rng.standard_normal(1_000_000)
    yield "cliffs_delta_np", 1_000_000, lambda: m.cliffs_delta_np(x, y), \
        lambda: _cliffs_sorted(x, y), "numpy sort + searchsorted"


def _cohens_d(x, y):
    nx, ny = len(x), len(y)
    s2 = ((nx - 1) * np.var(x, ddof=1) + (ny - 1) * np.var(y, ddof=1)) / (nx + ny - 2)
    return (np.mean(x) - np.mean(y)) / np.sqrt(s2)


def _rank_biserial(st, x, y):
    r = st.rankdata(np.concatenate([x, y]))
    u = r[: len(x)].sum() - len(x) * (len(x) + 1) / 2
    return 1 - 2 * u / (len(x) * len(y)), u


def _anova(groups):
    allv = np.concatenate(groups)
    gm = allv.mean()
    ss_b = sum(len(g) * (g.mean() - gm) ** 2 for g in groups)
    ss_w = sum(((g - g.mean()) ** 2).sum() for g in groups)
    k, n = len(groups), len(allv)
    ms_w = ss_w / (n - k)
    ss_t = ss_b + ss_w
    return ss_b / ss_t, max((ss_b - (k - 1) * ms_w) / (ss_t + ms_w), 0.0)


def _normality(st, x):
    n = len(x)
    z = np.sort((x - x.mean()) / x.std(ddof=1))
    cdf = np.clip(st.norm.cdf(z), 1e-300, 1)
    sf = np.clip(st.norm.sf(z[::-1]), 1e-300, 1)
    i = np.arange(1, n + 1)
    a2 = -n - np.sum((2 * i - 1) * (np.log(cdf) + np.log(sf))) / n
    return st.skew(x), st.kurtosis(x), st.jarque_bera(x), (1 + 4 / n - 25 / n**2) * a2


def _cliffs(x, y):
    s = np.sign(x[:, None] - y[None, :])
    return (s > 0).sum(), (s < 0).sum()


def _cliffs_sorted(x, y):
    ys = np.sort(y)
    less_y = np.searchsorted(ys, x, "left").sum()
    greater_y = len(y) * len(x) - np.searchsorted(ys, x, "right").sum()
    return less_y, greater_y
