// Plain sums and compensated sums of squared deviations of the tests.
//
// Each sample's sum is one serial chain whose order of additions is fixed, so
// a single chain is bound by the latency of its additions. Several samples'
// chains are therefore run side by side (up to kLanes at once): each chain
// still adds exactly its own terms in index order, so every result is
// bit-identical to summing that sample alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "core/spread.hpp"
#include "core/sums.hpp"

namespace ms::infer {

using Kahan = core::Kahan<>;

// Plain left-to-right sum from 0.0, and the largest magnitude met on the way
// (which fixes the unit the sample is read in): the sum is one serial chain,
// so the comparison beside it costs nothing.
struct PlainSum {
    double sum = 0.0, big = 0.0;
    void add(double v) noexcept {
        sum += v;
        const double a = std::fabs(v);
        big = a > big ? a : big;
    }
};

// Compensated sum of (v - mean)^2.
struct SqDevSum {
    double mean = 0.0;
    Kahan k;
    void add(double v) noexcept {
        double d = v - mean;
        k.add(d * d);
    }
};

namespace detail {

inline constexpr int kLanes = 4;

// m steps of L chains; the states live in locals so they stay in registers.
template <int L, class S>
inline void run_block(S* st, const double** p, size_t m) noexcept {
    S local[L];
    for (int j = 0; j < L; ++j) local[j] = st[j];
    for (size_t i = 0; i < m; ++i)
        for (int j = 0; j < L; ++j) local[j].add(p[j][i]);
    for (int j = 0; j < L; ++j) {
        st[j] = local[j];
        p[j] += m;
    }
}

// One accumulation per sample, state from make(i), its final state to done(i, state).
template <class S, class Make, class Done>
void interleave(std::span<const std::span<const double>> xs, Make make, Done done) noexcept {
    S st[kLanes];
    const double* p[kLanes];
    size_t left[kLanes], idx[kLanes];
    int active = 0;
    size_t next = 0;
    for (;;) {
        for (; active < kLanes && next < xs.size(); ++active, ++next) {
            st[active] = make(next);
            p[active] = xs[next].data();
            left[active] = xs[next].size();
            idx[active] = next;
        }
        if (active == 0) return;
        size_t m = *std::min_element(left, left + active);
        switch (active) {
            case 1: run_block<1>(st, p, m); break;
            case 2: run_block<2>(st, p, m); break;
            case 3: run_block<3>(st, p, m); break;
            default: run_block<4>(st, p, m); break;
        }
        int w = 0;
        for (int j = 0; j < active; ++j) {
            left[j] -= m;
            if (left[j] == 0) {
                done(idx[j], st[j]);
                continue;
            }
            st[w] = st[j];
            p[w] = p[j];
            left[w] = left[j];
            idx[w] = idx[j];
            ++w;
        }
        active = w;
    }
}

}  // namespace detail

// Plain sums of several samples: out[i] = sum of xs[i], and their largest
// magnitudes to bigs[i] when asked.
inline void plain_sums(std::span<const std::span<const double>> xs, double* out, double* bigs = nullptr) noexcept {
    detail::interleave<PlainSum>(
        xs, [](size_t) { return PlainSum{}; },
        [out, bigs](size_t i, const PlainSum& s) {
            out[i] = s.sum;
            if (bigs != nullptr) bigs[i] = s.big;
        });
}

// Compensated sums of squared deviations: out[i] over xs[i] from means[i].
inline void kahan_ss_many(std::span<const std::span<const double>> xs, const double* means, double* out) noexcept {
    detail::interleave<SqDevSum>(
        xs,
        [means](size_t i) {
            return SqDevSum{means[i], {}};
        },
        [out](size_t i, const SqDevSum& s) { out[i] = s.k.sum; });
}

// Compensated sum of (value(i) - m)^2 over i = 0..n-1, in index order.
template <class Value>
inline double kahan_ss_of(size_t n, Value value, double m) noexcept {
    SqDevSum s{m, {}};
    for (size_t i = 0; i < n; ++i) s.add(value(i));
    return s.k.sum;
}

inline double kahan_ss(std::span<const double> x, double m) noexcept {
    return kahan_ss_of(
        x.size(), [x](size_t i) { return x[i]; }, m);
}

// True when every value of every sample is one and the same number.
inline bool one_value(std::span<const std::span<const double>> xs) noexcept {
    const double* first = nullptr;
    for (std::span<const double> s : xs) {
        if (s.empty()) continue;
        if (!core::all_equal(s.data(), s.size()) || (first != nullptr && !(s[0] == *first))) return false;
        first = s.data();
    }
    return true;
}

// Whether ss, a sum of squared deviations of n values about their computed
// mean m, may be nothing but the rounding of that mean: around a rounded mean
// the spread of equal values is never exactly zero (ten 0.1 average to
// 0.09999999999999999). Near the largest doubles that rounding squared
// overflows, and a compensated sum then turns NaN (inf - inf); near the
// smallest it underflows to 0. Only such spreads send the values to an
// equality scan, so ordinary data pay one comparison.
inline bool may_be_rounding(double ss, double m, size_t n) noexcept {
    return ss > 0.0 ? core::spread_within_rounding(ss / static_cast<double>(n), m, n) : true;
}

// ss, a sum of squared deviations of the n finite values of xs about their
// computed mean m, or exactly 0 when those values are all one number.
inline double ss_or_zero(double ss, double m, std::span<const std::span<const double>> xs, size_t n) noexcept {
    return ss != 0.0 && may_be_rounding(ss, m, n) && one_value(xs) ? 0.0 : ss;
}

inline double ss_or_zero(double ss, double m, std::span<const double> x) noexcept {
    return ss_or_zero(ss, m, std::span<const std::span<const double>>(&x, 1), x.size());
}

// A sample's mean and sum of squared deviations.
struct MeanSs {
    double mean, ss;
};

// The computed mean m and ss of value(0), ..., value(n - 1), n > 0. Values
// that are all one number have exactly that number as mean and ss 0, as when
// their mean is exact: a test must not see a constant sample sit off its own
// value by the rounding of its mean. A mean whose sum overflowed is no
// rounding and is left for the caller to report.
template <class Value>
inline MeanSs settle_equal_of(size_t n, Value value, double m, double ss) noexcept {
    if (may_be_rounding(ss, m, n) && std::isfinite(m) && core::all_equal_of(n, value)) return {value(0), 0.0};
    return {m, ss};
}

inline MeanSs settle_equal(std::span<const double> x, double m, double ss) noexcept {
    return settle_equal_of(
        x.size(), [x](size_t i) { return x[i]; }, m, ss);
}

}  // namespace ms::infer
