// Two-sided tests of zero correlation: Pearson's on the values, Spearman's
// on their average ranks, both with a Student t p-value on n - 2 df.
#pragma once

#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct CorrTest {
    double correlation, statistic, pvalue, df;
};

Result<CorrTest> pearson_corr_test(std::span<const double> x, std::span<const double> y);
Result<CorrTest> spearman_corr_test(std::span<const double> x, std::span<const double> y);

}  // namespace ms::infer
