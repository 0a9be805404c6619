// Jackknife estimators for the mean of one sample.
#pragma once

#include <cstdint>
#include <span>

#include "core/result.hpp"

namespace ms::kernels::resampling {

// Leave-one-out influence values; empty for n < 2.
Buf<double> influence_mean(std::span<const double> x);

struct JackknifeResult {
    double estimate, bias, se;
};

JackknifeResult jackknife_mean(std::span<const double> x);
// (estimate, lower, upper): floor-index interval of the leave-one-out means.
JackknifeResult jackknife_mean_ci(std::span<const double> x, double conf);
// Contiguous blocks of d values left out in turn.
JackknifeResult delete_d_jackknife_mean(std::span<const double> x, size_t d);
// Jackknife SE of the bootstrap SE of the mean (one bootstrap per left-out value).
double jackknife_after_bootstrap_se_mean(std::span<const double> x, size_t B, uint64_t seed);

}  // namespace ms::kernels::resampling
