// One-sample Kolmogorov-Smirnov test against a normal, uniform or exponential
// distribution with given location and scale.
#pragma once

#include <span>
#include <string_view>

#include "core/result.hpp"

namespace ms::infer {

struct KsTest {
    double statistic, pvalue;
};

Result<KsTest> ks_1samp(std::span<const double> x, std::string_view cdf, std::span<const double> params,
                        std::string_view alternative);

// P(D+ >= d) for a sample of n (Birnbaum-Tingey sum); NaN for a non-finite d.
double ks_pvalue_one_sided_exact(size_t n, double d);

// P(D >= d) for a sample of n: the Marsaglia-Tsang-Wang matrix method up to
// n = 10000, the asymptotic series above.
double ks_pvalue_two_sided_finite(size_t n, double d);

}  // namespace ms::infer
