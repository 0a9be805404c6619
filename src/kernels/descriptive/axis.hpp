// Means along an axis of strided views (strides in bytes, any sign).
#pragma once

#include <cstddef>
#include <cstring>

#include "core/result.hpp"

namespace ms::kernels::descriptive {

inline double load(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Mean of n strided values: sum/count from 0.0; with skipna NaN values are left
// out of both. NaN when nothing is counted.
double strided_mean(const char* p, size_t n, ptrdiff_t stride, bool skipna) noexcept;

// Column means of a 2-D view. Each column keeps its own row-order sum; on a
// row-major block the columns are accumulated side by side in one sweep.
void column_means(const View2& x, bool skipna, double* out);

// Row means of a 2-D view, each row's sum in index order from 0.0.
void row_means(const View2& x, bool skipna, double* out) noexcept;

// Means of the rows of the last axis, rows in logical row-major order of the
// leading indices; each sum starts from -0.0. out has R = prod(shape[:-1]) slots.
void last_axis_means(const ViewN& x, double* out) noexcept;

}  // namespace ms::kernels::descriptive
