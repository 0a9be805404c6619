// Bootstrap intervals beyond the plain percentile rule (studentized, BCa,
// Bayesian weights), block bootstraps for series, and permutation tests.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

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

// (observed statistic, p) of the Monte Carlo permutation tests; `alternative`
// is matched byte for byte, any other string is a ValueError once the sizes
// have been found usable.
Result<std::pair<double, double>> permutation_corr_test(std::span<const double> x, std::span<const double> y,
                                                        size_t B, std::string_view alternative, uint64_t seed);
Result<std::pair<double, double>> permutation_mean_diff_test(std::span<const double> x, std::span<const double> y,
                                                             size_t B, std::string_view alternative, uint64_t seed);

// The normal quantile approximation of the BCa levels (rational, Acklam);
// NaN outside (0, 1).
double norm_ppf_approx(double p) noexcept;

}  // namespace ms::kernels::resampling
