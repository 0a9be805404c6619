"""Prints a fingerprint of representative calls of every registered function.

Besides one small call per function, the functions that split work over the
worker pool get inputs large enough to take their parallel paths.
"""
import sys

import numpy as np

from calls import find_calls, fingerprint
from marlox_stats import marlox_stats_rs as m

rng = np.random.default_rng(11)
big = rng.standard_normal(200_000) * 3.0 + 1e4
wide = rng.standard_normal((200_000, 6))
mat = rng.standard_normal((2_000, 300))
ks = np.random.default_rng(0).standard_normal(5_000)
LARGE = {
    "rolling_multi_np": lambda: m.rolling_multi_np(big, 50, stats=["mean", "std", "min", "max"]),
    "rolling_multi_axis0_np": lambda: (m.rolling_multi_axis0_np(wide, 30, stats=["mean", "std"]),
                                       m.rolling_multi_axis0_np(wide, 31, 3, "centered", "ignore", ["var", "max"])),
    "kde_gaussian_np": lambda: m.kde_gaussian_np(big[:20_000], 300),
    "bootstrap_ci": lambda: m.bootstrap_ci(big[:2_000], "median", 3_000, 0.9, 5),
    "bootstrap_ci_with_draws": lambda: m.bootstrap_ci_with_draws(big[:2_000], "std", 3_000, 0.9, 5),
    "bootstrap_se": lambda: m.bootstrap_se(big[:2_000], "mean", 3_000, 5),
    "bootstrap_corr": lambda: m.bootstrap_corr(big[:2_000], big[2_000:4_000], 3_000, 0.9, 5),
    "bootstrap_t_ci_mean": lambda: m.bootstrap_t_ci_mean(big[:2_000], 3_000, 0.9, 5),
    "cov_matrix_np": lambda: (m.cov_matrix_np(mat), m.cov_matrix_np(np.asfortranarray(mat))),
    "xtx_matrix_np": lambda: m.xtx_matrix_np(mat.astype(np.float32)),
    "xxt_matrix_np": lambda: m.xxt_matrix_np(mat[:700]),
    "corr_matrix_np": lambda: m.corr_matrix_np(mat),
    "ks_1samp_np": lambda: m.ks_1samp_np(ks, "norm", [0.0, 1.0]),
}

for name in m.__all__:
    f = getattr(m, name)
    if isinstance(f, type):
        continue
    ok, _ = find_calls(f)
    if ok is not None:
        first, second = fingerprint(f(*ok)), fingerprint(f(*ok))
        print(name, first if first == second else "NOT REPEATABLE")
    if name in LARGE:
        first, second = fingerprint(LARGE[name]()), fingerprint(LARGE[name]())
        print(name + ":large", first if first == second else "NOT REPEATABLE")
sys.stdout.flush()
