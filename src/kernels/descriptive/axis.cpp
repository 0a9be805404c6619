#include "kernels/descriptive/axis.hpp"

#include <cmath>

#include "core/constants.hpp"

namespace ms::kernels::descriptive {
namespace {

// Sums of up to four strided rows of n values, each from `start` in index
// order; the rows advance together so their independent chains overlap.
void sum_rows(const char* const* rows, size_t k, size_t n, ptrdiff_t stride, double start, double* out) noexcept {
    if (k == 4) {
        double s0 = start, s1 = start, s2 = start, s3 = start;
        const char *p0 = rows[0], *p1 = rows[1], *p2 = rows[2], *p3 = rows[3];
        for (size_t i = 0; i < n; ++i, p0 += stride, p1 += stride, p2 += stride, p3 += stride) {
            s0 += load(p0);
            s1 += load(p1);
            s2 += load(p2);
            s3 += load(p3);
        }
        out[0] = s0;
        out[1] = s1;
        out[2] = s2;
        out[3] = s3;
        return;
    }
    for (size_t r = 0; r < k; ++r) {
        double s = start;
        const char* p = rows[r];
        for (size_t i = 0; i < n; ++i, p += stride) s += load(p);
        out[r] = s;
    }
}

// Adds rows 0 ... 4q - 1 of x (contiguous rows, c > 1) into s, four rows
// per sweep in row order: a quarter of the traffic through the sums, and
// the same additions. Returns 4q. Wider vectors where the processor has
// them: the same operations in the same order.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
size_t add_row_quads(const View2& x, double* s) noexcept {
    const size_t r = x.rows, c = x.cols;
    size_t i = 0;
    for (; i + 4 <= r; i += 4) {
        const char* r0 = x.data + static_cast<ptrdiff_t>(i) * x.rstride;
        const char* r1 = r0 + x.rstride;
        const char* r2 = r1 + x.rstride;
        const char* r3 = r2 + x.rstride;
        for (size_t j = 0; j < c; ++j)
            s[j] = s[j] + load(r0 + 8 * j) + load(r1 + 8 * j) + load(r2 + 8 * j) + load(r3 + 8 * j);
    }
    return i;
}

}  // namespace

double strided_mean(const char* p, size_t n, ptrdiff_t stride, bool skipna) noexcept {
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

void column_means(const View2& x, bool skipna, double* out) {
    size_t r = x.rows, c = x.cols;
    if (x.cstride == 8 && r > 1 && c > 1) {
        Buf<double> s = Buf<double>::zeros(c);
        Buf<size_t> cnt = Buf<size_t>::zeros(c);
        size_t i = skipna ? 0 : add_row_quads(x, s.data());
        for (; i < r; ++i) {
            const char* row = x.data + static_cast<ptrdiff_t>(i) * x.rstride;
            if (skipna) {
                for (size_t j = 0; j < c; ++j) {
                    double v = load(row + 8 * j);
                    if (!std::isnan(v)) {
                        s[j] += v;
                        ++cnt[j];
                    }
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

void row_means(const View2& x, bool skipna, double* out) noexcept {
    if (skipna) {
        for (size_t i = 0; i < x.rows; ++i)
            out[i] = strided_mean(x.data + static_cast<ptrdiff_t>(i) * x.rstride, x.cols, x.cstride, true);
        return;
    }
    double dc = static_cast<double>(x.cols);
    for (size_t i = 0; i < x.rows; i += 4) {
        size_t k = x.rows - i < 4 ? x.rows - i : 4;
        const char* rows[4];
        for (size_t r = 0; r < k; ++r) rows[r] = x.data + static_cast<ptrdiff_t>(i + r) * x.rstride;
        sum_rows(rows, k, x.cols, x.cstride, 0.0, out + i);
        for (size_t r = 0; r < k; ++r) out[i + r] = x.cols == 0 ? kNaN : out[i + r] / dc;
    }
}

void last_axis_means(const ViewN& x, double* out) noexcept {
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
    const char* rows[4];
    size_t k = 0, first = 0;
    for (size_t r = 0; r < R; ++r) {
        rows[k++] = base;
        if (k == 4 || r + 1 == R) {
            sum_rows(rows, k, L, ls, -0.0, out + first);
            for (size_t j = 0; j < k; ++j) out[first + j] /= dl;
            first += k;
            k = 0;
        }
        for (size_t d = lead; d-- > 0;) {
            if (++idx[d] < x.shape[d]) {
                base += x.strides[d];
                break;
            }
            base -= static_cast<ptrdiff_t>(idx[d] - 1) * x.strides[d];
            idx[d] = 0;
        }
    }
}

}  // namespace ms::kernels::descriptive
