// Trailing rolling means and standard deviations down every column of a
// row-major matrix, on plain running sums that start again from the window
// when their digits are gone; columns far from 1 are read each in its own
// power-of-two unit (units.hpp).
#pragma once

#include <cstddef>

namespace ms::kernels::rolling {

// x: rows x cols, row-major, rows >= w >= 1. Each output holds
// (rows - w + 1) x cols values, row-major.

// Means from the running sums of the raw values.
void rolling_mean_axis0(const double* x, size_t rows, size_t cols, size_t w, double* mean);

// Means and/or sample standard deviations from the running sums of values
// shifted by each column's first value; either output may be null.
void rolling_mean_std_axis0(const double* x, size_t rows, size_t cols, size_t w, double* mean, double* sd);

}  // namespace ms::kernels::rolling
