// Trailing rolling covariance, correlation and least-squares line of two
// aligned series, on plain running sums of shifted values; the sums start
// again from the window when a large value has left it or the data have
// moved far from the shifts. Series far from 1 are read each in its own
// power-of-two unit (units.hpp).
#pragma once

#include <cstddef>
#include <span>

namespace ms::kernels::rolling {

// x and y have the same length n >= w >= 1; every output holds n - w + 1
// values, entry k describing the pairs k .. k + w - 1.

// Every pair enters the sums, so a NaN makes the windows that hold it NaN;
// a window of one pair has no sample covariance (NaN).
void rolling_cov_pairs(std::span<const double> x, std::span<const double> y, size_t w, double* out);
void rolling_corr_pairs(std::span<const double> x, std::span<const double> y, size_t w, double* out);

// Pairs with a NaN on either side are left out of the sums. Covariance and
// correlation are NaN for a window holding such a pair; the slope (and the
// intercept) use the pairs that are left.
void rolling_cov_usable(std::span<const double> x, std::span<const double> y, size_t w, double* out);
void rolling_corr_usable(std::span<const double> x, std::span<const double> y, size_t w, double* out);
void rolling_line_usable(std::span<const double> x, std::span<const double> y, size_t w, double* slope,
                         double* intercept);

}  // namespace ms::kernels::rolling
