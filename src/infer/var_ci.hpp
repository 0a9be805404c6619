// Chi-square confidence interval for the variance of a normal sample.
#pragma once

#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct VarCi {
    double variance, ci_lower, ci_upper, df, std, std_ci_lower, std_ci_upper;
};

Result<VarCi> var_ci(std::span<const double> x, double confidence);

}  // namespace ms::infer
