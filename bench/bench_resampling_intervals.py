"""Studentized, BCa and Bayesian bootstraps, block bootstraps, permutation
tests and jackknife estimators against SciPy or the NumPy expression a user
would write. `python bench/run.py resampling_intervals`."""
import numpy as np
import scipy.stats

from marlox_stats import marlox_stats_rs as m


def _np_boot_t(x, B):
    rng = np.random.default_rng(0)
    n = len(x)
    r = x[rng.integers(0, n, (B, n))]
    mu = r.mean(axis=1)
    se_b = r.std(axis=1, ddof=1) / np.sqrt(n)
    t = (mu - x.mean()) / se_b
    t = t[np.isfinite(t)]
    lo, hi = np.quantile(t, [0.025, 0.975])
    se = x.std(ddof=1) / np.sqrt(n)
    return x.mean() - se * hi, x.mean() - se * lo


def _scipy_bca(x, fn, B):
    return scipy.stats.bootstrap((x,), fn, n_resamples=B, method="BCa",
                                 random_state=np.random.default_rng(0)).confidence_interval


def _np_bayes(x, B):
    w = np.random.default_rng(0).dirichlet(np.ones(len(x)), B)
    return np.quantile(w @ x, [0.025, 0.975])


def _np_circular_block(x, L, B):
    n = len(x)
    nb = -(-n // L)
    starts = np.random.default_rng(0).integers(0, n, (B, nb))
    idx = ((starts[:, :, None] + np.arange(L)) % n).reshape(B, -1)[:, :n]
    return np.quantile(x[idx].mean(axis=1), [0.025, 0.975])


def _scipy_perm_corr(x, y, B):
    def r(a, axis=-1):
        a = a - a.mean(axis=axis, keepdims=True)
        yc = y - y.mean()
        return (a * yc).sum(axis=axis) / np.sqrt((a * a).sum(axis=axis) * (yc @ yc))

    return scipy.stats.permutation_test((x,), r, permutation_type="pairings", n_resamples=B,
                                        random_state=np.random.default_rng(0)).pvalue


def _scipy_perm_diff(x, y, B):
    return scipy.stats.permutation_test((x, y), lambda a, b, axis=-1: a.mean(axis=axis) - b.mean(axis=axis),
                                        n_resamples=B, random_state=np.random.default_rng(0)).pvalue


def _np_jackknife(x):
    n = len(x)
    theta = (x.sum() - x) / (n - 1)
    tb = theta.mean()
    est = n * x.mean() - (n - 1) * tb
    return est, est - x.mean(), np.sqrt((n - 1) / n * ((theta - tb) ** 2).sum())


def _np_jackknife_ci(x):
    n = len(x)
    theta = np.sort((x.sum() - x) / (n - 1))
    return theta[int(0.025 * n)], theta[min(int(0.975 * n), n - 1)]


def _np_delete_d(x, d):
    n = len(x)
    g = -(-n // d)
    sums = np.add.reduceat(x, np.arange(0, n, d))
    lens = np.minimum(d, n - np.arange(0, n, d))
    theta = (x.sum() - sums) / (n - lens)
    tb = theta.mean()
    return g * x.mean() - (g - 1) * tb, np.sqrt((g - 1) / g * ((theta - tb) ** 2).sum())


def _np_jab(x, B):
    rng = np.random.default_rng(0)
    n = len(x)
    ses = np.empty(n)
    for i in range(n):
        sub = np.delete(x, i)
        ses[i] = sub[rng.integers(0, n - 1, (B, n - 1))].mean(axis=1).std(ddof=1)
    return np.sqrt((n - 1) / n * ((ses - ses.mean()) ** 2).sum())


def benchmarks():
    rng = np.random.default_rng(0)
    for n, B in ((100, 1_000), (1_000, 10_000)):
        x = rng.standard_normal(n)
        y = 0.3 * x + rng.standard_normal(n)
        size = f"{n}x{B}"
        yield "bootstrap_t_ci_mean", size, lambda x=x, B=B: m.bootstrap_t_ci_mean(x, B), \
            lambda x=x, B=B: _np_boot_t(x, B), "numpy bootstrap-t"
        for stat, fn in (("mean", np.mean), ("median", np.median)):
            yield f"bootstrap_bca_ci {stat}", size, lambda x=x, B=B, stat=stat: m.bootstrap_bca_ci(x, stat, B), \
                lambda x=x, B=B, fn=fn: _scipy_bca(x, fn, B), f"scipy.stats.bootstrap(np.{stat}, BCa)"
        yield "bayesian_bootstrap_ci mean", size, lambda x=x, B=B: m.bayesian_bootstrap_ci(x, "mean", B), \
            lambda x=x, B=B: _np_bayes(x, B), "numpy dirichlet @ x"
        for name in ("moving_block_bootstrap_mean_ci", "circular_block_bootstrap_mean_ci",
                     "stationary_bootstrap_mean_ci"):
            f = getattr(m, name)
            yield name, size, lambda x=x, B=B, f=f: f(x, 10, B), \
                lambda x=x, B=B: _np_circular_block(x, 10, B), "numpy circular blocks"
        yield "permutation_corr_test", size, lambda x=x, y=y, B=B: m.permutation_corr_test(x, y, B), \
            lambda x=x, y=y, B=B: _scipy_perm_corr(x, y, B), "scipy.stats.permutation_test(pairings)"
        yield "permutation_mean_diff_test", size, lambda x=x, y=y, B=B: m.permutation_mean_diff_test(x, y, B), \
            lambda x=x, y=y, B=B: _scipy_perm_diff(x, y, B), "scipy.stats.permutation_test"
    for n in (100, 100_000):
        x = rng.standard_normal(n)
        yield "jackknife_mean", n, lambda x=x: m.jackknife_mean(x), lambda x=x: _np_jackknife(x), "numpy"
        yield "jackknife_mean_ci", n, lambda x=x: m.jackknife_mean_ci(x), lambda x=x: _np_jackknife_ci(x), "numpy"
        yield "influence_mean", n, lambda x=x: m.influence_mean(x), \
            lambda x=x: (len(x) - 1) * (x.mean() - (x.sum() - x) / (len(x) - 1)), "numpy"
        yield "delete_d_jackknife_mean", n, lambda x=x: m.delete_d_jackknife_mean(x, 7), \
            lambda x=x: _np_delete_d(x, 7), "numpy reduceat"
    for n, B in ((50, 200), (300, 200)):
        x = rng.standard_normal(n)
        yield "jackknife_after_bootstrap_se_mean", f"{n}x{B}", \
            lambda x=x, B=B: m.jackknife_after_bootstrap_se_mean(x, B), lambda x=x, B=B: _np_jab(x, B), \
            "numpy loop"
