// One-way ANOVA and Levene's test (median-centred) over groups of samples.
#pragma once

#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct FOneway {
    double statistic, pvalue, df_between, df_within;
};

// The F test of equal means over groups whose plain sums are given. MS_w = 0
// gives F = 0 when MS_b = 0 and +inf otherwise; a NaN mean square gives NaN.
FOneway oneway_from_sums(std::span<const std::span<const double>> groups, std::span<const double> sums);

// Groups are read in place; one that is not contiguous is refused when the
// walk over the groups reaches it.
Result<FOneway> f_test_oneway(std::span<const View1> groups);
Result<FOneway> levene_test(std::span<const View1> groups);

}  // namespace ms::infer
