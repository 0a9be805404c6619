// Sliding-window dependence: lag autocorrelations inside each window and the
// Pearson correlation of two series inside each window. Every window is
// recomputed from its own values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/result.hpp"

namespace ms::kernels::tsa {

// Row-major (n - w + 1) x lags.size() matrix of window autocorrelations; a
// constant window gives a NaN row. Requires w >= 1, n >= w and every lag < w.
Buf<double> rolling_autocorr_multi(std::span<const double> x, std::span<const uint64_t> lags, size_t w);

// n - w + 1 window correlations of two series of equal length n >= w >= 1.
Buf<double> rolling_correlation(std::span<const double> x, std::span<const double> y, size_t w);

}  // namespace ms::kernels::tsa
