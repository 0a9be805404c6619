// Single-pass rolling extrema (monotonic index deques), coefficient of
// variation (Welford replacement update) and threshold counts over a series.
// Each emits one value per complete window; all require 1 <= w <= n.
#pragma once

#include <cstddef>
#include <span>

#include "core/result.hpp"

namespace ms::kernels::tsa {

Buf<double> rolling_min(std::span<const double> x, size_t w);
Buf<double> rolling_max(std::span<const double> x, size_t w);
Buf<double> rolling_range(std::span<const double> x, size_t w);
Buf<double> rolling_cv(std::span<const double> x, size_t w);
// Number of window values strictly above threshold, divided by `scale`.
Buf<double> rolling_count_above(std::span<const double> x, double threshold, size_t w, double scale);

}  // namespace ms::kernels::tsa
