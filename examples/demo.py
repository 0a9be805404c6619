"""A short tour on realistic data: a year of simulated daily returns for a few assets."""
import numpy as np

import marlox_stats as ms

rng = np.random.default_rng(2026)
days, assets = 252, 4
# Fat-tailed daily returns (Student t, 4 degrees of freedom) with a little drift.
returns = 0.0004 + 0.012 * rng.standard_t(4, size=(days, assets)) / np.sqrt(2.0)
returns[17, 2] = np.nan  # a missing quote
first = np.ascontiguousarray(returns[:, 0])

print("Asset 0, one year of daily returns")
print(f"  mean      {ms.mean_np(first): .6f}")
print(f"  std       {ms.std_np(first): .6f}")
print(f"  skew      {ms.skew_np(first): .4f}")
print(f"  kurtosis  {ms.kurtosis_np(first): .4f}   (excess; fat tails show up here)")
z = ms.zscore_np(first)
print(f"  days beyond 3 sigma: {int(np.sum(np.abs(z) > 3))}")

print("Mean daily return per asset (NaN propagates, then skipped):")
print("  ", np.round(ms.mean_axis_np(returns, 0), 6))
print("  ", np.round(ms.mean_axis_np(returns, 0, skipna=True), 6))
weekly = returns[:250].reshape(50, 5, assets).transpose(0, 2, 1)  # (week, asset, day)
print("Mean return of each asset-week, first 4:", np.round(ms.mean_over_last_axis_dyn_np(weekly)[:4], 6))
print(f"{len(ms.__all__)} functions available.")
