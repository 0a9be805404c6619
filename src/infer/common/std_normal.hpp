// Normal distribution functions and the log-gamma function of the
// nonparametric and normality tests (library-backed, never throwing).
#pragma once

namespace ms::infer {

// Phi(z) = 0.5 * erfc(-z / sqrt(2)); Phi(-inf) = 0, Phi(+inf) = 1.
double std_normal_cdf(double z) noexcept;

// Upper tail 1 - Phi(z), formed as 0.5 * erfc(z / sqrt(2)) (no cancellation).
double std_normal_sf(double z) noexcept;

// Normal distribution function with mean `mu` and standard deviation `sigma`.
double normal_cdf(double x, double mu, double sigma) noexcept;

// ln Gamma(x).
double log_gamma(double x) noexcept;

}  // namespace ms::infer
