// Normal distribution with mean mu and standard deviation sigma, element by
// element. The caller has checked sigma > 0 (a NaN sigma passes and gives NaN).
#pragma once

#include <span>

namespace ms::kernels::dist {

void norm_pdf(std::span<const double> x, double mu, double sigma, double* out);
void norm_logpdf(std::span<const double> x, double mu, double sigma, double* out);
void norm_cdf(std::span<const double> x, double mu, double sigma, double* out);
void norm_sf(std::span<const double> x, double mu, double sigma, double* out);
void norm_logsf(std::span<const double> x, double mu, double sigma, double* out);
void norm_cumhazard(std::span<const double> x, double mu, double sigma, double* out);
// q must already lie in [0, 1] or be NaN, and mu and sigma must not be NaN.
void norm_ppf(std::span<const double> q, double mu, double sigma, double* out);

}  // namespace ms::kernels::dist
