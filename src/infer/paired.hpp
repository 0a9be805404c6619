// Paired-sample t test: a one-sample test of the differences x - y against 0.
#pragma once

#include <span>
#include <string_view>

#include "core/result.hpp"
#include "infer/ttest.hpp"

namespace ms::infer {

// "mean" of the result is the mean of the differences.
Result<TTest1> t_test_paired(std::span<const double> x, std::span<const double> y, std::string_view alternative);

}  // namespace ms::infer
