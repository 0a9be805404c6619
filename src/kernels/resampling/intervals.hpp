// Bootstrap intervals beyond the plain percentile rule (studentized, BCa,
// Bayesian weights) and block bootstraps for series.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/result.hpp"
#include "kernels/resampling/bootstrap.hpp"

namespace ms::kernels::resampling {

// Studentized interval for the mean: (mean, lower, upper).
Estimate bootstrap_t_ci_mean(std::span<const double> x, size_t B, double conf, uint64_t seed);

// Bias-corrected and accelerated interval of "mean", "median" or "std".
Result<Estimate> bootstrap_bca_ci(std::span<const double> x, std::string_view stat, size_t B, double conf,
                                  uint64_t seed);

// Interval from flat Dirichlet weights for "mean", "median" or "std".
Result<Estimate> bayesian_bootstrap_ci(std::span<const double> x, std::string_view stat, size_t B, double conf,
                                       uint64_t seed);

// Block schemes; replicates drawn serially from one generator.
enum class BlockScheme { Moving, Circular, Stationary };
Estimate block_bootstrap_mean_ci(std::span<const double> x, size_t L, size_t B, double conf, uint64_t seed,
                                 BlockScheme scheme);

// The normal quantile approximation of the BCa levels (rational, Acklam);
// NaN outside (0, 1).
double norm_ppf_approx(double p) noexcept;

}  // namespace ms::kernels::resampling
