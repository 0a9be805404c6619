// Percentile bootstrap kernels: resample one sample (or one sample of pairs)
// with replacement, a statistic per replicate on the worker pool, then the
// mean, spread or floor-index interval of the replicate values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/result.hpp"

namespace ms::kernels::resampling {

// Statistics of one resample. The percentile functions take "std" as the
// population form (divisor n), the standard-error functions as the sample
// form (divisor n - 1).
enum class Stat { Mean, Median, PopStd, SampleStd };

std::optional<Stat> percentile_stat(std::string_view name) noexcept;
std::optional<Stat> se_stat(std::string_view name) noexcept;

struct Estimate {
    double estimate, lower, upper;
};
inline constexpr Estimate kNaNEstimate{__builtin_nan(""), __builtin_nan(""), __builtin_nan("")};

inline constexpr std::string_view kUnsupportedStat = "Unsupported stat. Use 'mean', 'median', or 'std'.";

// B replicate values in replicate order, each from n index draws of its own
// generator. Needs a non-empty x and B >= 1.
Buf<double> bootstrap_draws(std::span<const double> x, Stat stat, size_t B, uint64_t seed);

// Mean of the draws in slot order, then the floor-index interval of the
// sorted draws (may reorder `draws`). B >= 1.
Estimate percentile_ci_from_draws(std::span<double> draws, double conf);

// The percentile interval of the replicate statistics of x; `draws`, when
// given, receives them in generation order. Needs a non-empty x and B >= 1.
Estimate bootstrap_ci(std::span<const double> x, Stat stat, size_t B, double conf, uint64_t seed,
                      Buf<double>* draws = nullptr);

// Mean of the B replicate means; NaN for empty x or B = 0.
double bootstrap_mean(std::span<const double> x, size_t B, uint64_t seed);

// Standard deviation (divisor B - 1, or 1 for B = 1) of the replicate
// statistics, and its square; NaN for empty x, B = 0 or an unknown name.
double bootstrap_se(std::span<const double> x, std::string_view stat, size_t B, uint64_t seed);
double bootstrap_var(std::span<const double> x, std::string_view stat, size_t B, uint64_t seed);

// Paired resamples of the Pearson correlation; mean and floor-index interval
// of the finite replicates. NaN triple for unequal or zero lengths, B = 0 or
// no finite replicate.
Estimate bootstrap_corr(std::span<const double> x, std::span<const double> y, size_t B, double conf,
                        uint64_t seed);

}  // namespace ms::kernels::resampling
