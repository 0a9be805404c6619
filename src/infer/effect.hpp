// Standardised mean differences, the t interval of a mean or mean difference,
// and the one-way variance decomposition.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/result.hpp"

namespace ms::infer {

Result<double> cohens_d_2samp(std::span<const double> x, std::span<const double> y, bool pooled);
Result<double> hedges_g_2samp(std::span<const double> x, std::span<const double> y, bool pooled);

struct Interval {
    double lower, upper;
};

// y absent: interval for mean(x); otherwise for mean(x) - mean(y). y is a
// view because its contiguity is judged only after x passed its checks.
Result<Interval> mean_diff_ci(std::span<const double> x, const std::optional<View1>& y, double alpha,
                              bool equal_var);

struct AnovaEffects {
    double eta_squared, omega_squared, ss_between, ss_within, ss_total;
};

Result<AnovaEffects> anova_effect_sizes(std::span<const View1> groups);


}  // namespace ms::infer
