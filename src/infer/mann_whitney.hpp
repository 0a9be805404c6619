// Mann-Whitney U test of two independent samples (normal approximation with
// tie and continuity corrections).
#pragma once

#include <span>
#include <string_view>

#include "core/result.hpp"

namespace ms::infer {

struct MannWhitney {
    double statistic, pvalue;
};

Result<MannWhitney> mann_whitney_u(std::span<const double> x, std::span<const double> y,
                                   std::string_view alternative);

}  // namespace ms::infer
