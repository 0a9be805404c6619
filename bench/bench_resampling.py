"""Percentile bootstrap against scipy.stats.bootstrap.

`python bench/run.py resampling` compares with SciPy; `python
bench/bench_resampling.py` times our calls with OMP_NUM_THREADS=1 and with
the default pool (in subprocesses) and prints the scaling.
"""
import os
import subprocess
import sys

import numpy as np

from marlox_stats import marlox_stats_rs as m


def _scipy_bootstrap(x, stat, B, vectorized=True):
    import scipy.stats

    return scipy.stats.bootstrap((x,), stat, n_resamples=B, method="percentile", confidence_level=0.95,
                                 vectorized=vectorized, random_state=np.random.default_rng(0))


def _std(a, axis=-1):
    return np.std(a, axis=axis)


def benchmarks():
    rng = np.random.default_rng(0)
    for n, B in ((100, 1_000), (1_000, 10_000)):
        x = rng.standard_normal(n)
        y = 0.5 * x + rng.standard_normal(n)
        size = f"{n}x{B}"
        scipy_ci = lambda x=x, B=B: _scipy_bootstrap(x, np.mean, B).confidence_interval  # noqa: E731
        yield "bootstrap_ci mean", size, lambda x=x, B=B: m.bootstrap_ci(x, "mean", B), scipy_ci, \
            "scipy.stats.bootstrap(np.mean, percentile)"
        yield "bootstrap_mean_ci", size, lambda x=x, B=B: m.bootstrap_mean_ci(x, B), scipy_ci, \
            "scipy.stats.bootstrap(np.mean, percentile)"
        yield "bootstrap_ci std", size, lambda x=x, B=B: m.bootstrap_ci(x, "std", B), \
            lambda x=x, B=B: _scipy_bootstrap(x, _std, B).confidence_interval, \
            "scipy.stats.bootstrap(np.std, percentile)"
        yield "bootstrap_ci median", size, lambda x=x, B=B: m.bootstrap_ci(x, "median", B), \
            lambda x=x, B=B: _scipy_bootstrap(x, np.median, B).confidence_interval, \
            "scipy.stats.bootstrap(np.median, percentile)"
        yield "bootstrap_se mean", size, lambda x=x, B=B: m.bootstrap_se(x, "mean", B), \
            lambda x=x, B=B: _scipy_bootstrap(x, np.mean, B).standard_error, \
            "scipy.stats.bootstrap(np.mean).standard_error"
        yield "bootstrap_corr", size, lambda x=x, y=y, B=B: m.bootstrap_corr(x, y, B), \
            lambda x=x, y=y, B=B: _scipy_corr(x, y, B), "scipy.stats.bootstrap(pearsonr, paired)"


def _scipy_corr(x, y, B):
    import scipy.stats

    def r(a, b, axis=-1):
        return scipy.stats.pearsonr(a, b, axis=axis).statistic

    return scipy.stats.bootstrap((x, y), r, n_resamples=B, method="percentile", paired=True, vectorized=True,
                                 random_state=np.random.default_rng(0)).confidence_interval


_SCALING = r"""
import sys, numpy as np
sys.path.insert(0, {here!r})
from run import best_time
from marlox_stats import marlox_stats_rs as m
x = np.random.default_rng(0).standard_normal(1000)
y = 0.5 * x + np.random.default_rng(1).standard_normal(1000)
calls = [("bootstrap_ci mean", lambda: m.bootstrap_ci(x, "mean", 10000)),
         ("bootstrap_ci std", lambda: m.bootstrap_ci(x, "std", 10000)),
         ("bootstrap_ci median", lambda: m.bootstrap_ci(x, "median", 10000)),
         ("bootstrap_se mean", lambda: m.bootstrap_se(x, "mean", 10000)),
         ("bootstrap_se std", lambda: m.bootstrap_se(x, "std", 10000)),
         ("bootstrap_corr", lambda: m.bootstrap_corr(x, y, 10000))]
for name, f in calls:
    print(name, best_time(f))
"""


def scaling():
    here = os.path.dirname(os.path.abspath(__file__))

    def times(threads):
        env = dict(os.environ)
        env.pop("OMP_NUM_THREADS", None)
        if threads:
            env["OMP_NUM_THREADS"] = threads
        out = subprocess.run([sys.executable, "-c", _SCALING.format(here=here)], env=env, check=True,
                             capture_output=True, text=True).stdout
        return [(ln.rsplit(" ", 1)[0], float(ln.rsplit(" ", 1)[1])) for ln in out.splitlines()]

    print(f"{'n=1000, B=10000':24} {'1 thread':>10} {'default':>10} {'speed-up':>9}")
    for (name, t1), (_, tn) in zip(times("1"), times(None)):
        print(f"{name:24} {t1 * 1e3:8.2f}ms {tn * 1e3:8.2f}ms {t1 / tn:8.2f}x")


if __name__ == "__main__":
    scaling()
