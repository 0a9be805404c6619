// Transforms of one series into new arrays of the same length. NaN flows
// through the arithmetic; only the callers validate their scalar parameters.
#pragma once

#include <cstdint>
#include <span>

#include "core/radix_sort.hpp"
#include "kernels/descriptive/moments.hpp"

namespace ms::kernels::transform {

inline void fill(double* out, size_t n, double v) noexcept {
    for (size_t i = 0; i < n; ++i) out[i] = v;
}

// Running sum from 0.0; with `mean` each entry is divided by its count.
inline void running_sum(std::span<const double> x, double* out, bool mean) noexcept {
    double s = 0.0;
    if (mean) {
        for (size_t i = 0; i < x.size(); ++i) {
            s += x[i];
            out[i] = s / static_cast<double>(i + 1);
        }
    } else {
        for (size_t i = 0; i < x.size(); ++i) {
            s += x[i];
            out[i] = s;
        }
    }
}

// |periods| as an unsigned lag: the most negative int64 has no positive
// counterpart in int64, but its magnitude fits in uint64.
inline uint64_t lag_of(int64_t periods) noexcept {
    return periods < 0 ? 0 - static_cast<uint64_t>(periods) : static_cast<uint64_t>(periods);
}

// out_i = f(x_i, base) with base x_{i-k} (periods > 0) or x_{i+k} (periods
// < 0); NaN where the base lies outside the series. periods != 0.
template <class F>
inline void lagged(std::span<const double> x, int64_t periods, double* out, F f) noexcept {
    size_t n = x.size();
    uint64_t k = lag_of(periods);
    if (k >= n) {
        fill(out, n, kNaN);
        return;
    }
    const double* p = x.data();
    if (periods > 0) {
        fill(out, k, kNaN);
        for (size_t i = k; i < n; ++i) out[i] = f(p[i], p[i - k]);
    } else {
        for (size_t i = 0; i < n - k; ++i) out[i] = f(p[i], p[i + k]);
        fill(out + (n - k), k, kNaN);
    }
}

inline void diff(std::span<const double> x, int64_t periods, double* out) noexcept {
    if (periods == 0) {
        fill(out, x.size(), 0.0);
        return;
    }
    lagged(x, periods, out, [](double a, double b) { return a - b; });
}

inline void pct_change(std::span<const double> x, int64_t periods, double* out) noexcept {
    if (periods == 0) {
        fill(out, x.size(), kNaN);
        return;
    }
    lagged(x, periods, out, [](double a, double b) { return b != 0.0 ? (a - b) / b : kNaN; });
}

// Exponential smoothing from out_0 = x_0; 0 < alpha <= 1.
inline void ewma(std::span<const double> x, double alpha, double* out) noexcept {
    if (x.empty()) return;
    double keep = 1.0 - alpha;
    double e = x[0];
    out[0] = e;
    for (size_t i = 1; i < x.size(); ++i) {
        e = keep * e + alpha * x[i];
        out[i] = e;
    }
}

struct MinMax {
    double lo, hi;
};

// The first value in index order that equals v as a number (v is ±0 here).
inline double first_equal(std::span<const double> x, double v) noexcept {
    for (double a : x)
        if (a == v) return a;
    return v;
}

// Extremes from x_0 by strict comparisons: a later NaN never replaces them, a
// NaN x_0 stays. x must not be empty. Sequentially each extreme is the first
// value in index order equal to it, so independent lanes give the same bits
// except for the sign of a zero, which is looked up afterwards.
inline MinMax min_max(std::span<const double> x) noexcept {
    constexpr size_t L = 4;
    size_t n = x.size();
    double lo[L], hi[L];
    for (size_t j = 0; j < L; ++j) lo[j] = hi[j] = x[0];
    size_t i = 1;
    for (; i + L <= n; i += L)
        for (size_t j = 0; j < L; ++j) {
            double v = x[i + j];
            lo[j] = v < lo[j] ? v : lo[j];
            hi[j] = v > hi[j] ? v : hi[j];
        }
    for (; i < n; ++i) {
        double v = x[i];
        lo[0] = v < lo[0] ? v : lo[0];
        hi[0] = v > hi[0] ? v : hi[0];
    }
    double a = lo[0], b = hi[0];
    for (size_t j = 1; j < L; ++j) {
        a = lo[j] < a ? lo[j] : a;
        b = hi[j] > b ? hi[j] : b;
    }
    if (a == 0.0) a = first_equal(x, a);
    if (b == 0.0) b = first_equal(x, b);
    return {a, b};
}

// (x_i - min)/(max - min); zeros for a constant series. {NaN, NaN} when empty.
inline MinMax minmax_scale(std::span<const double> x, double* out) noexcept {
    size_t n = x.size();
    if (n == 0) return {kNaN, kNaN};
    MinMax mm = min_max(x);
    if (mm.hi == mm.lo) {
        fill(out, n, 0.0);
        return mm;
    }
    double range = mm.hi - mm.lo;
    for (size_t i = 0; i < n; ++i) out[i] = (x[i] - mm.lo) / range;
    return mm;
}

// 1, -1 or 0 (zeros of either sign and NaN).
inline int8_t sign_of(double v) noexcept { return static_cast<int8_t>((v > 0.0) - (v < 0.0)); }

inline void sign_mask(std::span<const double> x, int8_t* out) noexcept {
    for (size_t i = 0; i < x.size(); ++i) out[i] = sign_of(x[i]);
}

inline void demean_with_signs(std::span<const double> x, double* d, int8_t* s) noexcept {
    double m = descriptive::mean(x);
    for (size_t i = 0; i < x.size(); ++i) {
        d[i] = x[i] - m;
        s[i] = sign_of(d[i]);
    }
}

// Sorted values and the probabilities (i + 1)/n.
inline void ecdf(std::span<const double> x, double* sorted, double* prob) {
    size_t n = x.size();
    core::sort_total_into(x, sorted, prob);
    double dn = static_cast<double>(n);
    for (size_t i = 0; i < n; ++i) prob[i] = static_cast<double>(i + 1) / dn;
}

// The bin of rank r among n values split into n_bins equal-count runs: the b
// with floor(b*n/n_bins) <= r < floor((b+1)*n/n_bins), that is
// floor(((r+1)*n_bins - 1)/n). 128-bit products never overflow.
inline uint64_t bin_of_rank(uint64_t r, uint64_t n, uint64_t n_bins) noexcept {
    unsigned __int128 num = static_cast<unsigned __int128>(r + 1) * n_bins - 1;
    return static_cast<uint64_t>(num / n);
}

// Equal-count bin labels by stable total-order rank. 1 <= n_bins, and every
// label (at most n_bins - 1) must fit in int64.
template <class Index>
inline void quantile_bins(std::span<const double> x, uint64_t n_bins, int64_t* out) {
    size_t n = x.size();
    Buf<Index> order(n);
    core::stable_order_total(x, order.data());
    for (size_t r = 0; r < n; ++r) out[order[r]] = static_cast<int64_t>(bin_of_rank(r, n, n_bins));
}

}  // namespace ms::kernels::transform
