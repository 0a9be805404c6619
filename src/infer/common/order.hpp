// Order statistics of the tests: average ranks and the median. Values are
// ordered by the IEEE total order (-NaN < -inf < ... < -0.0 < +0.0 < ... < +NaN).
#pragma once

#include <span>

#include "core/result.hpp"

namespace ms::infer {

// Ranks 1..n in the sample's own order; a run of values equal under == shares
// the mean of its positions (so -0.0 ties +0.0 and NaN ties nothing).
Buf<double> rankdata_average(std::span<const double> x);

// Median of a non-empty sample (the sample is read, never reordered).
double median(std::span<const double> x);

}  // namespace ms::infer
