// The replicate driver shared by the resampling kernels: a parallel map over
// replicate indices, the sort of replicate values, and the two rules that read
// interval ends from sorted replicate values.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <span>

#include "core/interpolate.hpp"
#include "core/parallel.hpp"
#include "core/result.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "core/unit.hpp"
#include "kernels/resampling/pcg64.hpp"

namespace ms::kernels::resampling {

// Draws in about a millisecond: each worker of a team gets at least that
// much, so a worker that the system is slow to schedule never holds up a
// short call (the caller takes its chunks instead).
inline constexpr double kDrawsPerMs = 5e5;

// Deviations from the sample's first value, for statistics formed from raw
// moments. Far from zero those moments cancel every digit (the squares of
// 1e9 + k keep none of k's); deviations keep them, and a constant sample's
// are exactly 0, so its variance is too. A non-finite first value leaves no
// finite deviation, just as a non-finite value leaves no finite raw moment.
// Beyond the plain range the values are read in their unit (a correlation
// depends on neither), where their squares stay normal numbers.
inline Buf<double> deviations(std::span<const double> v) {
    Buf<double> d(v.size());
    const core::Unit u = core::unit_beyond_range(v);
    if (u.identity()) {
        const double s = v.empty() ? 0.0 : v[0];
        for (size_t k = 0; k < v.size(); ++k) d[k] = v[k] - s;
    } else {
        const double s = u(v[0]);
        for (size_t k = 0; k < v.size(); ++k) d[k] = u(v[k]) - s;
    }
    return d;
}

// Whether x holds one finite number only. Every resample of such values is
// that number again, with no spread, however its rounded mean falls.
inline bool one_value(std::span<const double> x) noexcept {
    return !x.empty() && std::isfinite(x[0]) && core::all_equal(x.data(), x.size());
}

// The sum of squared deviations of v about its computed mean m, or exactly 0
// when the values are all one number: ten 0.1 average to 0.09999999999999999
// and would keep a trace of spread around that. Ordinary values stop at the
// first comparison.
inline double ss_about(std::span<const double> v, double m) noexcept {
    const double ss = core::sum_sq_dev(v, m);
    return core::equal_within_rounding(ss / static_cast<double>(v.size()), m, v.data(), v.size()) ? 0.0 : ss;
}

// A resample statistic from one pass of the sum and the sum of squares of the
// drawn values; Finish(S, Q, n) forms the statistic.
template <double (*Finish)(double, double, size_t)>
struct SumSqFold {
    const double* x;
    size_t n;
    struct State {
        double s, q;
    };
    size_t scratch_len() const { return 0; }
    size_t weight() const { return 1; }
    State start(double*) const { return {0.0, 0.0}; }
    void add(State& st, size_t j, size_t) const {
        const double v = x[j];
        st.s += v;
        st.q += v * v;
    }
    double finish(State& st) const { return Finish(st.s, st.q, n); }
};

// Runs body(lo, hi, scratch) over consecutive ranges of [0, units), each
// range in ascending order on one thread. Every thread has its own zeroed
// scratch of `scratch_len` doubles, which the body must overwrite before
// reading, so results never depend on the split. `cost` (draws per unit)
// sizes the team: small loops, and a single unit, run on the calling thread.
template <class Body>
void parallel_pieces(size_t units, size_t scratch_len, size_t cost, Body&& body) {
    const unsigned team =
        core::team_for(static_cast<double>(units) * static_cast<double>(cost), kDrawsPerMs, units);
    size_t total;
    if (__builtin_mul_overflow(size_t{team}, scratch_len, &total)) throw std::bad_alloc();
    Buf<double> scratch = Buf<double>::zeros(total);  // allocated here: nothing may throw on a worker
    core::run_ranges(team, units, 8, [&](size_t lo, size_t hi, unsigned slot) {
        body(lo, hi, scratch.data() + static_cast<size_t>(slot) * scratch_len);
    });
}

// out[i] = rep(g, scratch) for i in [0, B), g seeded from (seed, i); scratch
// as for parallel_pieces; `draws` per replicate.
template <class Rep>
void replicate_map(uint64_t seed, size_t B, size_t scratch_len, size_t draws, double* out, Rep&& rep) {
    parallel_pieces(B, scratch_len, draws, [&](size_t lo, size_t hi, double* scratch) {
        for (size_t i = lo; i < hi; ++i) {
            Pcg64 g = Pcg64::seeded(replicate_seed(seed, i));
            out[i] = rep(g, scratch);
        }
    });
}

// A resample statistic as a fold over the n drawn indices, in draw order:
//   State start(double* scratch) const;   // scratch: scratch_len() doubles
//   void add(State&, size_t index, size_t k) const;
//   double finish(State&) const;
//   size_t weight() const;                // work per draw, in draws (team sizing)
// resample_map draws two replicates side by side (two independent generator
// chains keep the multiplier busy); each still sees only its own draws.
template <class Fold>
void resample_map(uint64_t seed, size_t B, size_t n, const Fold& fold, double* out) {
    const size_t len = fold.scratch_len();
    size_t pair_len;
    if (__builtin_mul_overflow(len, size_t{2}, &pair_len)) throw std::bad_alloc();
    size_t cost;
    if (__builtin_mul_overflow(2 * fold.weight(), n, &cost)) cost = SIZE_MAX;
    parallel_pieces((B + 1) / 2, pair_len, cost, [&](size_t lo, size_t hi, double* scratch) {
        for (size_t p = lo; p < hi; ++p) {
            const size_t i = 2 * p;
            Pcg64 g0 = Pcg64::seeded(replicate_seed(seed, i));
            auto s0 = fold.start(scratch);
            if (i + 1 == B) {
                for (size_t k = 0; k < n; ++k) fold.add(s0, g0.below(n), k);
                out[i] = fold.finish(s0);
                continue;
            }
            Pcg64 g1 = Pcg64::seeded(replicate_seed(seed, i + 1));
            auto s1 = fold.start(scratch + len);
            for (size_t k = 0; k < n; ++k) {
                const size_t j0 = g0.below(n), j1 = g1.below(n);
                fold.add(s0, j0, k);
                fold.add(s1, j1, k);
            }
            out[i] = fold.finish(s0);
            out[i + 1] = fold.finish(s1);
        }
    });
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

// The k-th zero of v in order.
inline double kth_zero(const double* v, size_t n, size_t k) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (v[i] == 0.0 && k-- == 0) return v[i];
    return 0.0;
}

// The values that the draw sort would leave at positions p0 and p1 of v (n
// values, left unchanged), found by selection in tmp (n doubles); false when
// v holds NaN, for which only the sort itself decides. Without NaN the only
// values that compare equal yet differ are -0.0 and 0.0, and a stable sort
// keeps them in input order: a zero at position p is the (p - #negatives)-th.
inline bool select_as_sorted(const double* v, size_t n, size_t p0, size_t p1, double* tmp, double& a,
                             double& b) noexcept {
    if (p0 > p1) return select_as_sorted(v, n, p1, p0, tmp, b, a);  // a negative conf swaps the ends
    for (size_t i = 0; i < n; ++i)
        if (std::isnan(v[i])) return false;
    std::copy(v, v + n, tmp);
    std::nth_element(tmp, tmp + p0, tmp + n);
    a = tmp[p0];
    if (p1 == p0) {
        b = a;
    } else if (p1 == p0 + 1) {
        b = *std::min_element(tmp + p1, tmp + n);
    } else {
        std::nth_element(tmp + p0 + 1, tmp + p1, tmp + n);
        b = tmp[p1];
    }
    if (a == 0.0 || b == 0.0) {
        size_t neg = 0;
        for (size_t i = 0; i < n; ++i) neg += v[i] < 0.0;
        if (a == 0.0) a = kth_zero(v, n, p0 - neg);
        if (b == 0.0) b = kth_zero(v, n, p1 - neg);
    }
    return true;
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

// Positions floor(alpha*B) and floor((1-alpha)*B), clamped into [0, B - 1];
// B >= 1. Any conf is accepted.
struct Positions {
    size_t lower, upper;
};
inline Positions floor_index_positions(size_t B, double conf) noexcept {
    const double alpha = (1.0 - conf) * 0.5;
    const double b = static_cast<double>(B);
    const int64_t last = static_cast<int64_t>(B) - 1;
    auto at = [&](double pos) {
        return static_cast<size_t>(std::clamp<int64_t>(saturate_i64(std::floor(pos)), 0, last));
    };
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
    return core::lerp(d[lo], d[hi], h - static_cast<double>(lo));
}

}  // namespace ms::kernels::resampling
