// Exponential distribution with rate lam, element by element. The caller has
// checked lam > 0 (a NaN lam passes). Negative arguments lie outside the
// support and get each function's boundary value; -0.0 is inside.
#pragma once

#include <span>

namespace ms::kernels::dist {

void exp_pdf(std::span<const double> x, double lam, double* out);
void exp_logpdf(std::span<const double> x, double lam, double* out);
void exp_cdf(std::span<const double> x, double lam, double* out);
void exp_sf(std::span<const double> x, double lam, double* out);
void exp_logsf(std::span<const double> x, double lam, double* out);
void exp_cumhazard(std::span<const double> x, double lam, double* out);
// q must already lie in [0, 1] or be NaN.
void exp_ppf(std::span<const double> q, double lam, double* out);

}  // namespace ms::kernels::dist
