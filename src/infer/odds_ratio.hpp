// Odds ratio of a 2 x 2 table with its Wald interval on the log scale.
#pragma once

#include "core/result.hpp"

namespace ms::infer {

struct OddsRatio {
    double odds_ratio, log_odds_ratio, ci_lower, ci_upper, se;
};

Result<OddsRatio> odds_ratio(const View2& table, double confidence);

}  // namespace ms::infer
