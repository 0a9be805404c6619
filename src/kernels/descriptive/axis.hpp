// Means along an axis of strided views (strides in bytes, any sign).
#pragma once

#include <cmath>
#include <cstring>

#include "frame/result.hpp"
#include "kernels/descriptive/moments.hpp"

namespace ms::kernels {

inline double load(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Mean of n strided values: sum/count from 0.0; with skipna NaN values are left
// out of both. NaN when nothing is counted.
inline double strided_mean(const char* p, size_t n, ptrdiff_t stride, bool skipna) noexcept {
    double s = 0.0;
    size_t count = 0;
    for (size_t i = 0; i < n; ++i, p += stride) {
        double v = load(p);
        if (skipna && std::isnan(v)) continue;
        s += v;
        ++count;
    }
    return count == 0 ? kNaN : s / static_cast<double>(count);
}

// Column means of a 2-D view. Each column keeps its own row-order sum; on a
// row-major block the columns are accumulated side by side in one sweep.
inline void column_means(const View2& x, bool skipna, double* out) {
    size_t r = x.rows, c = x.cols;
    if (x.cstride == 8 && r > 1 && c > 1) {
        Buf<double> s = Buf<double>::zeros(c);
        Buf<size_t> cnt = Buf<size_t>::zeros(c);
        for (size_t i = 0; i < r; ++i) {
            const char* row = x.data + static_cast<ptrdiff_t>(i) * x.rstride;
            if (skipna) {
                for (size_t j = 0; j < c; ++j) {
                    double v = load(row + 8 * j);
                    if (!std::isnan(v)) { s[j] += v; ++cnt[j]; }
                }
            } else {
                for (size_t j = 0; j < c; ++j) s[j] += load(row + 8 * j);
            }
        }
        for (size_t j = 0; j < c; ++j) {
            size_t k = skipna ? cnt[j] : r;
            out[j] = k == 0 ? kNaN : s[j] / static_cast<double>(k);
        }
        return;
    }
    for (size_t j = 0; j < c; ++j)
        out[j] = strided_mean(x.data + static_cast<ptrdiff_t>(j) * x.cstride, r, x.rstride, skipna);
}

inline void row_means(const View2& x, bool skipna, double* out) noexcept {
    for (size_t i = 0; i < x.rows; ++i)
        out[i] = strided_mean(x.data + static_cast<ptrdiff_t>(i) * x.rstride, x.cols, x.cstride, skipna);
}

// Means of the rows of the last axis, rows in logical row-major order of the
// leading indices; each sum starts from -0.0. out has R = prod(shape[:-1]) slots.
inline void last_axis_means(const ViewN& x, double* out) noexcept {
    size_t nd = x.ndim();
    size_t L = x.shape[nd - 1];
    ptrdiff_t ls = x.strides[nd - 1];
    size_t R = 1;
    for (size_t k = 0; k + 1 < nd; ++k) R *= x.shape[k];
    if (R == 0) return;
    if (L == 0) {
        for (size_t r = 0; r < R; ++r) out[r] = kNaN;
        return;
    }
    double dl = static_cast<double>(L);
    // Odometer over the leading indices, last one fastest.
    size_t lead = nd - 1;
    size_t idx[64] = {};
    const char* base = x.data;
    for (size_t r = 0; r < R; ++r) {
        double s = -0.0;
        const char* p = base;
        for (size_t i = 0; i < L; ++i, p += ls) s += load(p);
        out[r] = s / dl;
        for (size_t k = lead; k-- > 0;) {
            if (++idx[k] < x.shape[k]) {
                base += x.strides[k];
                break;
            }
            base -= static_cast<ptrdiff_t>(idx[k] - 1) * x.strides[k];
            idx[k] = 0;
        }
    }
}

}  // namespace ms::kernels
