// One- and two-sample proportion z tests (normal approximation, no
// continuity correction).
#pragma once

#include <string_view>

#include "core/result.hpp"

namespace ms::infer {

struct PropTest1 {
    double statistic, pvalue, proportion;
};

struct PropTest2 {
    double statistic, pvalue, proportion1, proportion2, diff;
};

Result<PropTest1> proportion_ztest(double count, double nobs, double value, std::string_view alternative);
Result<PropTest2> two_proportions_ztest(double count1, double nobs1, double count2, double nobs2,
                                        std::string_view alternative);

}  // namespace ms::infer
