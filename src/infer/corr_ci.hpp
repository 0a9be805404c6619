// Pearson's coefficient of paired samples and the Fisher-z interval of a
// Pearson or Spearman correlation.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "core/result.hpp"
#include "infer/common/checks.hpp"

namespace ms::infer {

// r = sxy / sqrt(sxx * syy) with the deviation sums taken plainly in index
// order from the given means (the root taken factor by factor when the
// product overflows or underflows); nullopt when sxx or syy is 0. Not clamped.
std::optional<double> pearson_r_from_means(std::span<const double> x, std::span<const double> y, double mean_x,
                                           double mean_y) noexcept;

// Pearson's r of two finite samples of equal length from their plain sums,
// each sample read in its own unit (r depends on neither).
std::optional<double> pearson_r_in_units(std::span<const double> x, std::span<const double> y, const SumPair& sums);

// The same with the means taken as plain sums / n, the data as they lie.
std::optional<double> pearson_r_opt(std::span<const double> x, std::span<const double> y) noexcept;

// Pearson's r of two samples of equal length, or "zero variance in x or y".
Result<double> pearson_r(std::span<const double> x, std::span<const double> y);

struct CorrCi {
    double correlation, ci_lower, ci_upper, z, se;
};

Result<CorrCi> corr_ci(std::span<const double> x, std::span<const double> y, std::string_view method,
                       double confidence);

}  // namespace ms::infer
