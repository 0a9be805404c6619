// Tests of equal variances: the two-sample F test and Bartlett's test.
#pragma once

#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct FTestVar {
    double statistic, pvalue, df1, df2;
};

struct Bartlett {
    double statistic, pvalue, df;
};

Result<FTestVar> f_test_var(std::span<const double> x, std::span<const double> y);
Result<Bartlett> bartlett_test(std::span<const View1> groups);

}  // namespace ms::infer
