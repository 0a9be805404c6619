#include "kernels/tsa/rolling_autocorr.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/spread.hpp"
#include "kernels/tsa/common.hpp"

namespace ms::kernels::tsa {
namespace {

// Windows are computed K at a time: each window keeps its own sums in its own
// order, and the K independent add chains overlap (and vectorise) instead of
// waiting on one another.
constexpr size_t kBlock = 8;

// Means (sums from -0.0) and sums of squared deviations of windows i..i+K-1.
template <size_t K>
void moments(const double* x, size_t w, double* m, double* ss) {
    for (size_t k = 0; k < K; ++k) m[k] = -0.0;
    for (size_t t = 0; t < w; ++t)
        for (size_t k = 0; k < K; ++k) m[k] += x[k + t];
    for (size_t k = 0; k < K; ++k) m[k] /= static_cast<double>(w);
    for (size_t k = 0; k < K; ++k) ss[k] = 0.0;
    for (size_t t = 0; t < w; ++t)
        for (size_t k = 0; k < K; ++k) {
            const double d = x[k + t] - m[k];
            ss[k] += d * d;
        }
}

// Equal values whose mean is inexact (ten 0.1 average to 0.09999999999999999)
// leave a window a small positive ss, not zero. Such a window has equal first
// and last values: that one comparison is all a window of ordinary data pays.
template <size_t K>
bool ends_equal(const double* x, size_t w) {
    bool any = false;
    for (size_t k = 0; k < K; ++k) any |= x[k] == x[k + w - 1];
    return any;
}

// NaN into out[k * stride], cols values, for each of the K windows at x of
// positive ss whose values are all equal. Only an ss within the rounding of
// the window's mean (for equal values, exactly its first value) sends the
// window to the equality scan. Out of line, so that the window sums keep
// their registers.
template <size_t K>
[[gnu::noinline]] void nan_equal_windows(const double* x, size_t w, const double* ss, double* out, size_t stride,
                                         size_t cols) {
    const double inv_w = 1.0 / static_cast<double>(w);
    for (size_t k = 0; k < K; ++k)
        if (core::equal_within_rounding(ss[k] * inv_w, x[k], x + k, w))
            std::fill_n(out + k * stride, cols, kNaN);
}

// Rows i..i+K-1 of the autocorrelation matrix; x points at window i.
template <size_t K>
void autocorr_block(const double* x, std::span<const uint64_t> lags, size_t w, double* rows) {
    const size_t cols = lags.size();
    double m[K], ss[K], s[K];
    moments<K>(x, w, m, ss);
    for (size_t j = 0; j < cols; ++j) {
        const size_t lag = static_cast<size_t>(lags[j]);
        for (size_t k = 0; k < K; ++k) s[k] = 0.0;
        for (size_t t = lag; t < w; ++t)
            for (size_t k = 0; k < K; ++k) s[k] += (x[k + t] - m[k]) * (x[k + t - lag] - m[k]);
        for (size_t k = 0; k < K; ++k) rows[k * cols + j] = s[k] / ss[k];
    }
    for (size_t k = 0; k < K; ++k)
        if (ss[k] <= 0.0) std::fill_n(rows + k * cols, cols, kNaN);  // a constant window
    if (ends_equal<K>(x, w)) [[unlikely]]
        nan_equal_windows<K>(x, w, ss, rows, cols, cols);
}

template <size_t K>
void correlation_block(const double* x, const double* y, size_t w, double* out) {
    double mx[K], my[K], sxy[K], sxx[K], syy[K];
    for (size_t k = 0; k < K; ++k) mx[k] = my[k] = -0.0;
    for (size_t t = 0; t < w; ++t)
        for (size_t k = 0; k < K; ++k) {
            mx[k] += x[k + t];
            my[k] += y[k + t];
        }
    for (size_t k = 0; k < K; ++k) {
        mx[k] /= static_cast<double>(w);
        my[k] /= static_cast<double>(w);
        sxy[k] = sxx[k] = syy[k] = 0.0;
    }
    for (size_t t = 0; t < w; ++t)
        for (size_t k = 0; k < K; ++k) {
            const double dx = x[k + t] - mx[k], dy = y[k + t] - my[k];
            sxy[k] += dx * dy;
            sxx[k] += dx * dx;
            syy[k] += dy * dy;
        }
    // A constant window on either side has no correlation; the denominator
    // survives data whose squared sums overflow or underflow when multiplied.
    for (size_t k = 0; k < K; ++k)
        out[k] = sxx[k] == 0.0 || syy[k] == 0.0 ? kNaN : sxy[k] / core::sqrt_product(sxx[k], syy[k]);
    if (ends_equal<K>(x, w) | ends_equal<K>(y, w)) [[unlikely]] {
        nan_equal_windows<K>(x, w, sxx, out, 1, 1);
        nan_equal_windows<K>(y, w, syy, out, 1, 1);
    }
}

}  // namespace

// Correlations have no unit: every window is read in the unit of the whole
// series (of each series, for two), so that squares neither overflow nor go
// subnormal and x and x * 2^k give the same bits.
Buf<double> rolling_autocorr_multi(std::span<const double> data, std::span<const uint64_t> lags, size_t w) {
    const size_t rows = data.size() - w + 1, cols = lags.size();
    if (cols != 0 && rows > SIZE_MAX / cols) throw std::bad_alloc();
    Buf<double> out = Buf<double>::zeros(rows * cols);
    if (cols == 0) return out;
    const InUnit in(data);
    const std::span<const double> x = in.span();
    size_t i = 0;
    for (; i + kBlock <= rows; i += kBlock) autocorr_block<kBlock>(x.data() + i, lags, w, out.data() + i * cols);
    for (; i < rows; ++i) autocorr_block<1>(x.data() + i, lags, w, out.data() + i * cols);
    return out;
}

Buf<double> rolling_correlation(std::span<const double> xdata, std::span<const double> ydata, size_t w) {
    const InUnit xin(xdata), yin(ydata);
    const std::span<const double> x = xin.span(), y = yin.span();
    const size_t rows = x.size() - w + 1;
    Buf<double> out(rows);
    size_t i = 0;
    for (; i + kBlock <= rows; i += kBlock)
        correlation_block<kBlock>(x.data() + i, y.data() + i, w, out.data() + i);
    for (; i < rows; ++i) correlation_block<1>(x.data() + i, y.data() + i, w, out.data() + i);
    return out;
}

}  // namespace ms::kernels::tsa
