// Rank and dominance effect sizes of two samples.
#pragma once

#include <cstdint>
#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct CliffsDelta {
    double delta;
    int64_t greater, less;  // pairs with x_i > y_j, with x_i < y_j
    const char* magnitude;
};

Result<CliffsDelta> cliffs_delta(std::span<const double> x, std::span<const double> y);

struct RankBiserial {
    double r, u_statistic;
};

Result<RankBiserial> rank_biserial(std::span<const double> x, std::span<const double> y);

}  // namespace ms::infer
