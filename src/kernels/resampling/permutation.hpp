// Monte Carlo permutation tests of two samples.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/result.hpp"

namespace ms::kernels::resampling {

// The observed statistic and its Monte Carlo p-value.
struct PermutationTest {
    double statistic, pvalue;
};

// `alternative` is matched byte for byte, any other string is a ValueError
// once the sizes have been found usable.
Result<PermutationTest> permutation_corr_test(std::span<const double> x, std::span<const double> y, size_t B,
                                              std::string_view alternative, uint64_t seed);
Result<PermutationTest> permutation_mean_diff_test(std::span<const double> x, std::span<const double> y, size_t B,
                                                   std::string_view alternative, uint64_t seed);

}  // namespace ms::kernels::resampling
