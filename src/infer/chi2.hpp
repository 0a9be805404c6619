// Chi-square tests on counts: goodness of fit and independence.
#pragma once

#include <optional>
#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct Chi2Test {
    double statistic, pvalue, df;
};

// `expected` absent: the counts are spread evenly over the categories. It may
// be strided here: its contiguity is checked in its turn among the checks.
Result<Chi2Test> chi2_gof(std::span<const double> observed, const std::optional<View1>& expected, bool sum_check);

Result<Chi2Test> chi2_independence(const View2& table);

}  // namespace ms::infer
