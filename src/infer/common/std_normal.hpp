// The standard normal distribution of the tests and the normal-theory
// intervals, and log-gamma (library-backed, never throwing).
#pragma once

#include <boost/math/special_functions/erf.hpp>

#include "core/nothrow.hpp"

namespace ms::infer {

inline constexpr double kSqrt2 = 1.4142135623730951;

// Phi(z) = 0.5 * erfc(-z / sqrt(2)); Phi(-inf) = 0, Phi(+inf) = 1.
double std_normal_cdf(double z) noexcept;

// Upper tail 1 - Phi(z), formed as 0.5 * erfc(z / sqrt(2)) (no cancellation).
double std_normal_sf(double z) noexcept;

// Phi(z) and 1 - Phi(z) together, each the value of the two functions above:
// with u = |z| / sqrt(2), erfc(-u) is 2 - erfc(u) for u > 0.5 and 1 + erf(u)
// below, while erfc(u) there is 1 - erf(u), so one evaluation serves both.
struct NormalTails {
    double cdf, sf;
};
NormalTails std_normal_tails(double z) noexcept;

// Normal distribution function with mean `mu` and standard deviation `sigma`.
double normal_cdf(double x, double mu, double sigma) noexcept;

// ln Gamma(x).
double log_gamma(double x) noexcept;

inline double norm_sf(double z) noexcept { return std_normal_sf(z); }
inline double norm_cdf(double z) noexcept { return std_normal_cdf(z); }

// The quantile at p in (0, 1): -sqrt(2) * erfc^-1(2p).
inline double norm_ppf(double p) noexcept { return -kSqrt2 * boost::math::erfc_inv(2.0 * p, core::NoThrow()); }

// The two-sided quantile of a confidence level: the quantile at 1 - (1 - confidence) / 2.
inline double norm_crit(double confidence) noexcept { return norm_ppf(1.0 - (1.0 - confidence) / 2.0); }

// A confidence level must lie strictly inside (0, 1); NaN does not.
inline bool valid_confidence(double confidence) noexcept { return confidence > 0.0 && confidence < 1.0; }

}  // namespace ms::infer
