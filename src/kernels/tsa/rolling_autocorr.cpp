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

// A window of equal values, whose mean is m and sum of squared deviations ss.
// Around a rounded mean (ten 0.1 average to 0.09999999999999999) their ss is
// not exactly zero; only an ss within that rounding sends the window to the
// equality scan, so a window of ordinary data pays one comparison. A NaN ss is
// no constant window.
bool constant_window(const double* x, size_t w, double m, double ss) {
    return ss <= 0.0 || (core::spread_within_rounding(ss / static_cast<double>(w), m, w) && core::all_equal(x, w));
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
        if (constant_window(x + k, w, m[k], ss[k])) std::fill_n(rows + k * cols, cols, kNaN);
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
        out[k] = constant_window(x + k, w, mx[k], sxx[k]) || constant_window(y + k, w, my[k], syy[k])
                     ? kNaN
                     : sxy[k] / core::sqrt_product(sxx[k], syy[k]);
}

}  // namespace

Buf<double> rolling_autocorr_multi(std::span<const double> x, std::span<const uint64_t> lags, size_t w) {
    const size_t rows = x.size() - w + 1, cols = lags.size();
    if (cols != 0 && rows > SIZE_MAX / cols) throw std::bad_alloc();
    Buf<double> out = Buf<double>::zeros(rows * cols);
    if (cols == 0) return out;
    size_t i = 0;
    for (; i + kBlock <= rows; i += kBlock) autocorr_block<kBlock>(x.data() + i, lags, w, out.data() + i * cols);
    for (; i < rows; ++i) autocorr_block<1>(x.data() + i, lags, w, out.data() + i * cols);
    return out;
}

Buf<double> rolling_correlation(std::span<const double> x, std::span<const double> y, size_t w) {
    const size_t rows = x.size() - w + 1;
    Buf<double> out(rows);
    size_t i = 0;
    for (; i + kBlock <= rows; i += kBlock)
        correlation_block<kBlock>(x.data() + i, y.data() + i, w, out.data() + i);
    for (; i < rows; ++i) correlation_block<1>(x.data() + i, y.data() + i, w, out.data() + i);
    return out;
}

}  // namespace ms::kernels::tsa
