// Distribution functions of the tests' null distributions. They never throw:
// an undefined value (bad parameters, a NaN argument) is NaN. A statistic
// outside the support is evaluated at its edge (cdf 0 below, 1 above), so a
// chi-square or F statistic that rounds to a tiny negative value has cdf 0.
#pragma once

namespace ms::infer {

double t_cdf(double df, double x) noexcept;
double f_cdf(double df1, double df2, double x) noexcept;
double chi2_cdf(double df, double x) noexcept;
double chi2_quantile(double df, double p) noexcept;

}  // namespace ms::infer
