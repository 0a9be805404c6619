// Continuous uniform distribution on [a, b], element by element. The callers
// check the parameters; the kernels only evaluate.
#pragma once

#include <span>

namespace ms::kernels::dist {

void unif_pdf(std::span<const double> x, double a, double b, double* out);
void unif_logpdf(std::span<const double> x, double a, double b, double* out);
void unif_cdf(std::span<const double> x, double a, double b, double* out);
void unif_sf(std::span<const double> x, double a, double b, double* out);
// a and b finite with b - a > 0.
void unif_logsf(std::span<const double> x, double a, double b, double* out);
// q must already lie in [0, 1] or be NaN.
void unif_ppf(std::span<const double> q, double a, double b, double* out);

}  // namespace ms::kernels::dist
