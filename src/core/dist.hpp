// Distribution functions of the null distributions of the statistical tests
// and the time-series diagnostics. The argument comes first (x, or a
// probability p), then the parameters. They never throw: an undefined value
// (bad parameters, a NaN argument) is NaN. A statistic outside the support is
// evaluated at its edge (cdf 0 below, 1 above), so a chi-square or F
// statistic that rounds to a tiny negative value has cdf 0.
#pragma once

namespace ms::core {

double t_cdf(double x, double df) noexcept;
double f_cdf(double x, double df1, double df2) noexcept;
double chi2_cdf(double x, double df) noexcept;

// Upper-tail chi-square probability; NaN for a non-finite or negative x or a
// df that is not a finite positive number.
double chi2_sf(double x, double df) noexcept;

// The p-quantiles; p outside [0, 1] (or NaN) has none: NaN.
double chi2_quantile(double p, double df) noexcept;
double t_quantile(double p, double df) noexcept;

}  // namespace ms::core
