"""A short tour on realistic data: a year of simulated daily returns for a few assets."""
import numpy as np

import marlox_stats as ms

rng = np.random.default_rng(2026)
days, assets = 252, 4
# Fat-tailed daily returns (Student t, 4 degrees of freedom) with a little drift,
# and an autocorrelated asset 3 (AR(1) with phi = 0.3).
returns = 0.0004 + 0.012 * rng.standard_t(4, size=(days, assets)) / np.sqrt(2.0)
for t in range(1, days):
    returns[t, 3] += 0.3 * returns[t - 1, 3]
returns[17, 2] = np.nan  # a missing quote
r0 = np.ascontiguousarray(returns[:, 0])
r1 = np.ascontiguousarray(returns[:, 1])
r3 = np.ascontiguousarray(returns[:, 3])

print("Asset 0, one year of daily returns")
print(f"  mean {ms.mean_np(r0): .6f}  std {ms.std_np(r0): .6f}  skew {ms.skew_np(r0): .4f}"
      f"  excess kurtosis {ms.kurtosis_np(r0): .4f}")
print(f"  median {ms.median_np(r0): .6f}  MAD-based sigma {ms.mad_std_np(r0): .6f}  Qn {ms.qn_scale_np(r0): .6f}")
print(f"  days flagged by the IQR fences: {int(ms.iqr_outliers_np(r0).sum())}")

print("Mean daily return per asset (NaN propagates, then skipped):")
print("  ", np.round(ms.mean_axis_np(returns, 0), 6))
print("  ", np.round(ms.mean_axis_np(returns, 0, skipna=True), 6))

mean20, std20 = ms.rolling_multi_np(r0, 20, stats=["mean", "std"])
print(f"20-day rolling volatility, last 3 days: {np.round(std20[-3:] * np.sqrt(252), 4)} (annualised)")

t = ms.t_test_2samp_np(r0, r1, equal_var=False)
print(f"Welch t test, asset 0 vs 1: t = {t['statistic']:.3f}, p = {t['pvalue']:.3f}")
est, lo, hi = ms.bootstrap_mean_ci(r0, 2000, 0.95, random_state=7)
print(f"Bootstrap 95% interval of asset 0's mean return: {est:.5f} in [{lo:.5f}, {hi:.5f}]")

print(f"Asset 3 autocorrelation, lags 1-3: {np.round(ms.acf(r3, 3)[1:], 3)}")
q, p = ms.ljung_box(r3, 10)
print(f"Ljung-Box on asset 3 (10 lags): Q = {q:.2f}, p = {p:.4f}")
print(f"{len(ms.__all__)} names available (206 functions and the RobustStats class).")
