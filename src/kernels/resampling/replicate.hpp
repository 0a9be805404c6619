// The replicate driver shared by the resampling kernels: a parallel map over
// replicate indices, the sort of replicate values, and the two rules that read
// interval ends from sorted replicate values.
#pragma once

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <span>

#include "frame/result.hpp"
#include "kernels/resampling/pcg64.hpp"

namespace ms::kernels {

// Draws per piece of work below which waking another worker costs more than
// it saves (about 60 us of drawing).
inline constexpr double kDrawsPerPiece = 32768.0;

// The pool's threads do not survive fork(): a child that entered a parallel
// region would wait for them forever. Once the pool has been used, a forked
// child runs its replicate loops on the calling thread (same results).
inline std::atomic<bool> g_pool_lost_in_fork{false};

inline bool pool_usable() noexcept {
    static const bool watched = [] {
        pthread_atfork(nullptr, nullptr, [] { g_pool_lost_in_fork.store(true, std::memory_order_relaxed); });
        return true;
    }();
    return watched && !g_pool_lost_in_fork.load(std::memory_order_relaxed);
}

// out[i] = rep(g, scratch) for i in [0, B), g seeded from (seed, i). Every
// piece of work gets its own zeroed scratch of `scratch_len` doubles, which a
// replicate must overwrite before reading. `draws` (per replicate) sizes the
// team: small loops, and a single replicate, run on the calling thread.
template <class Rep>
void replicate_map(uint64_t seed, size_t B, size_t scratch_len, size_t draws, double* out, Rep&& rep) {
    const double want = std::ceil(static_cast<double>(B) * static_cast<double>(draws) / kDrawsPerPiece);
    size_t pieces = static_cast<size_t>(
        std::clamp(want, 1.0, std::min(static_cast<double>(B), static_cast<double>(std::max(1, omp_get_max_threads())))));
    if (pieces > 1 && !pool_usable()) pieces = 1;
    size_t total;
    if (__builtin_mul_overflow(pieces, scratch_len, &total)) throw std::bad_alloc();
    Buf<double> scratch = Buf<double>::zeros(total);  // allocated here: nothing may throw on a worker
    if (pieces == 1) {
        for (size_t i = 0; i < B; ++i) {
            Pcg64 g = Pcg64::seeded(replicate_seed(seed, i));
            out[i] = rep(g, scratch.data());
        }
        return;
    }
    const size_t chunk = std::max<size_t>(1, B / (pieces * 8));
#pragma omp parallel num_threads(static_cast<int>(pieces))
    {
        double* mine = scratch.data() + static_cast<size_t>(omp_get_thread_num()) * scratch_len;
#pragma omp for schedule(dynamic, chunk)
        for (size_t i = 0; i < B; ++i) {
            Pcg64 g = Pcg64::seeded(replicate_seed(seed, i));
            out[i] = rep(g, mine);
        }
    }
}

// Ascending by a < b, stable. Below 21 values a straight insertion sort;
// otherwise insertion-sorted runs merged bottom-up through `tmp` (d.size()
// doubles). NaN never compares less, so it stays where the passes leave it;
// the loops are bounded by indices, never by comparisons, so NaN cannot make
// them run off the ends.
inline void insertion_sort_less(double* d, size_t n) noexcept {
    for (size_t i = 1; i < n; ++i) {
        double v = d[i];
        size_t j = i;
        for (; j > 0 && v < d[j - 1]; --j) d[j] = d[j - 1];
        d[j] = v;
    }
}

inline void draw_sort(std::span<double> d, double* tmp) noexcept {
    constexpr size_t kRun = 16;
    const size_t n = d.size();
    if (n < 21) {
        insertion_sort_less(d.data(), n);
        return;
    }
    for (size_t i = 0; i < n; i += kRun) insertion_sort_less(d.data() + i, std::min(kRun, n - i));
    double* src = d.data();
    double* dst = tmp;
    for (size_t w = kRun; w < n; w *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * w) {
            size_t mid = std::min(lo + w, n), hi = std::min(lo + 2 * w, n);
            size_t a = lo, b = mid, k = lo;
            while (a < mid && b < hi) dst[k++] = src[b] < src[a] ? src[b++] : src[a++];
            while (a < mid) dst[k++] = src[a++];
            while (b < hi) dst[k++] = src[b++];
        }
        std::swap(src, dst);
    }
    if (src != d.data()) std::copy(src, src + n, d.data());
}

// Sorts with a temporary of its own (allocated on the calling thread).
inline void draw_sort(std::span<double> d) {
    Buf<double> tmp(d.size() < 21 ? 0 : d.size());
    draw_sort(d, tmp.data());
}

// Saturating conversions of a floor or ceil; NaN becomes 0.
inline int64_t saturate_i64(double v) noexcept {
    if (std::isnan(v)) return 0;
    if (v >= 0x1p63) return std::numeric_limits<int64_t>::max();
    if (v < -0x1p63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}
inline uint64_t saturate_u64(double v) noexcept {
    if (!(v > 0.0)) return 0;
    if (v >= 0x1p64) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(v);
}

struct Ends {
    double lower, upper;
};

// Interval ends at floor(alpha*B) and floor((1-alpha)*B), clamped into the
// buffer; sorted d, B >= 1. Any conf is accepted.
inline Ends floor_index_interval(std::span<const double> d, double conf) noexcept {
    const double alpha = (1.0 - conf) * 0.5;
    const double b = static_cast<double>(d.size());
    const int64_t last = static_cast<int64_t>(d.size()) - 1;
    auto at = [&](double pos) { return d[static_cast<size_t>(std::clamp<int64_t>(saturate_i64(std::floor(pos)), 0, last))]; };
    return {at(alpha * b), at((1.0 - alpha) * b)};
}

// Linear interpolation between order statistics at (B-1)*p; sorted d,
// B >= 1. A NaN level reads d[0].
inline double interpolated_percentile(std::span<const double> d, double p) noexcept {
    const size_t last = d.size() - 1;
    if (p <= 0.0) return d[0];
    if (p >= 1.0) return d[last];
    const double h = static_cast<double>(last) * p;
    const uint64_t lo = std::min<uint64_t>(saturate_u64(std::floor(h)), last);
    const uint64_t hi = std::min<uint64_t>(saturate_u64(std::ceil(h)), last);
    if (lo == hi) return d[lo];
    const double w = h - static_cast<double>(lo);
    return (1.0 - w) * d[lo] + w * d[hi];
}

}  // namespace ms::kernels
