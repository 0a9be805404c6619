// One- and two-sample Student t tests.
#pragma once

#include <span>
#include <string_view>

#include "core/result.hpp"
#include "infer/common/alternative.hpp"

namespace ms::infer {

struct TTest1 {
    double statistic, pvalue, df, mean;
};

struct TTest2 {
    double statistic, pvalue, df, mean_x, mean_y;
};

// p-value of a t statistic with df degrees of freedom under `alt`; an infinite
// statistic has cdf 0 or 1, a NaN statistic a NaN p-value.
double p_from_t(Alternative alt, double t, double df) noexcept;

// t statistic of a mean difference `diff` with squared standard error se2.
// With se2 = 0: 0 for a difference of 0 or of magnitude below `zero_below`,
// NaN for a NaN one, else an infinity with diff's sign.
double t_statistic(double diff, double se2, double zero_below = 0.0) noexcept;

Result<TTest1> t_test_1samp(std::span<const double> x, double popmean, std::string_view alternative);
Result<TTest2> t_test_2samp(std::span<const double> x, std::span<const double> y, bool equal_var,
                            std::string_view alternative);

}  // namespace ms::infer
