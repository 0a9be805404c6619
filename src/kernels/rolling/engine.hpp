// Running sums over a sliding window of one series: the compensated engine
// behind the plain rolling family (full windows only) and the plain sums of
// the NaN-skipping family (one output per position, growing prefix first).
//
// A running sum that has taken in an infinity (or overflowed) is NaN or
// infinite from then on, whatever leaves the window later. Each engine
// therefore keeps where the latest non-finite value entered (looked for only
// on the steps whose sums fail their test, as sums that take one in do); once
// it has left while a sum is still not finite, the window is summed afresh.
// Sums whose digits are gone are summed afresh too (resum.hpp). Each engine
// also finds the largest magnitude it reads, so that data far from 1 can be
// read again in their unit (units.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <utility>

#include "core/sums.hpp"
#include "kernels/rolling/resum.hpp"
#include "kernels/rolling/units.hpp"
#include "core/constants.hpp"

namespace ms::kernels::rolling {

using core::Kahan;


#if defined(__GNUC__) && !defined(__clang__)
#define MS_SCALAR_CHAINS __attribute__((optimize("no-tree-slp-vectorize")))
#else
#define MS_SCALAR_CHAINS
#endif

inline constexpr double kLargest = std::numeric_limits<double>::max();

inline bool finite(double v) noexcept { return std::isfinite(v); }

// Kahan sums of w values from p (with the plain sum of their magnitudes),
// and of their shifted values and squares. Returned by value, and kept out of
// line: they run only when sums are rebuilt, and sums whose address escapes
// would live in memory.
struct RawSums {
    Kahan<double> sx;
    double mag;
};
[[gnu::noinline]] inline RawSums fresh_raw(const double* p, size_t w) noexcept {
    RawSums r{{}, 0.0};
    for (size_t j = 0; j < w; ++j) {
        r.sx.add(p[j]);
        r.mag += std::fabs(p[j]);
    }
    return r;
}
struct Moments {
    Kahan<double> s1, s2;
};
[[gnu::noinline]] inline Moments fresh_moments(const double* p, size_t w, double s) noexcept {
    Moments m;
    for (size_t j = 0; j < w; ++j) {
        double d = p[j] - s;
        m.s1.add(d);
        m.s2.add(d * d);
    }
    return m;
}

// Means and/or standard deviations of the full windows x[k], ..., x[k + w - 1],
// k = 0 .. n - w, passed as emit(k, mean, sd). `Raw` keeps the Kahan sum of
// the values (mean), `Shifted` the Kahan sums of v - s and (v - s)^2 around a
// shift s, x[0] to begin with (sd); an output whose sums are not kept is 0.
// Every update adds the entering term, then the negated leaving term.
// Returns the largest finite magnitude read, or kStopped when `may_stop` let
// it stop early (units.hpp).
//
// Each group of sums is rebuilt on its own, so that a mean does not depend on
// whether the sd was asked for too: the raw sum when the plain sum of |v| has
// fallen far below its largest value (a large value has left), the shifted
// sums when their spread has (a large value has left, or the data have moved
// far from s); the shifted sums then move to the window's first value.
// The running state of the engine below, handed by value to the rare step so
// that no value of the common step lives across a call (which would keep it
// in memory, and a compensation in memory lengthens the chain of additions).
struct EngineState {
    Kahan<double> sx, s1, s2;
    double mag, mag_peak, s2_peak, s;
};

// Window k, free of non-finite values, whose sums failed the one test of a
// step: sums that are not finite are summed afresh (same shift), then sums
// whose digits are gone, the shifted ones around the window's first value.
template <bool Raw, bool Shifted>
[[gnu::noinline]] EngineState settle_window(const double* p, size_t k, size_t w, EngineState st) noexcept {
    const double share = trusted_share(w);
    if constexpr (Raw) {
        if (!finite(st.sx.sum) || magnitude_lost(st.mag, st.mag_peak, share)) {
            RawSums f = fresh_raw(p + k, w);
            st.sx = f.sx;
            st.mag = st.mag_peak = f.mag;
        }
    }
    if constexpr (Shifted) {
        if (!(finite(st.s1.sum) && finite(st.s2.sum))) {
            Moments f = fresh_moments(p + k, w, st.s);
            st.s1 = f.s1;
            st.s2 = f.s2;
            st.s2_peak = st.s2.sum;
        }
        if (w > 1 && spread_lost(static_cast<double>(w), st.s1.sum, st.s2.sum, st.s2_peak, share)) {
            st.s = p[k];
            Moments f = fresh_moments(p + k, w, st.s);
            st.s1 = f.s1;
            st.s2 = f.s2;
            st.s2_peak = st.s2.sum;
        }
    }
    return st;
}

template <bool Raw, bool Shifted, class Emit>
double running_mean_std(std::span<const double> x, size_t w, Emit&& emit, bool may_stop = false) {
    const size_t n = x.size();
    if (w == 0 || n < w) return 0.0;  // nothing read
    const double* p = x.data();
    double s = finite(p[0]) ? p[0] : 0.0;
    const double wd = static_cast<double>(w), wm1 = wd - 1.0;
    const double share = trusted_share(w), wshare = wd * share;
    const bool single = w == 1;  // no spread from one value
    Kahan<double> sx, s1, s2;
    double mag = 0.0, mag_peak = 0.0, s2_peak = 0.0;
    // One past the latest non-finite value that entered (0: none): window k
    // holds one while this is above k. A non-finite value leaves the sums
    // non-finite from the step it enters until they are rebuilt, so it is
    // looked for only on the steps that fail the test below.
    size_t bad_end = 0;
    Largest largest;
    for (size_t j = 0; j < w; ++j) {
        bad_end = finite(p[j]) ? bad_end : j + 1;
        largest.add(p[j]);
    }
    if constexpr (Raw) {
        RawSums f = fresh_raw(p, w);
        sx = f.sx;
        mag = mag_peak = f.mag;
    }
    if constexpr (Shifted) {
        Moments f = fresh_moments(p, w, s);
        s1 = f.s1;
        s2 = f.s2;
        s2_peak = s2.sum;
    }
    auto out = [&](size_t k) __attribute__((always_inline)) {
        double mean = 0.0, sd = 0.0;
        if constexpr (Raw) mean = sx.sum / wd;
        if constexpr (Shifted) {
            double var = (s2.sum - (s1.sum * s1.sum) / wd) / wm1;
            sd = single || std::isnan(var) ? kNaN : std::sqrt(var > 0.0 ? var : 0.0);
        }
        emit(k, mean, sd);
    };
    out(0);
    const size_t L = n - w + 1;
    for (size_t k = 1; k < L; ++k) {
        const double nw = p[k + w - 1], old = p[k - 1];
        largest.add(nw);
        if constexpr (Shifted) {
            double dn = nw - s, dold = old - s;
            s1.add(dn);
            s1.sub(dold);
            s2.add(dn * dn);
            s2.sub(dold * dold);
            s2_peak = s2.sum > s2_peak ? s2.sum : s2_peak;
        }
        if constexpr (Raw) {
            sx.add(nw);
            sx.sub(old);
            mag += std::fabs(nw) - std::fabs(old);
            mag_peak = mag > mag_peak ? mag : mag_peak;
        }
        // One test of all of it first, false for NaN, so that the common step
        // takes one branch: the sum of |v| and the sum of squares are not
        // finite when the sums beside them are not.
        auto fine = [&]() __attribute__((always_inline)) {
            bool ok = true;
            if constexpr (Raw) ok = (mag >= share * mag_peak) & (mag <= kLargest);
            if constexpr (Shifted)
                ok = ok & (s2.sum <= kLargest) & (single | (wd * s2.sum - s1.sum * s1.sum >= wshare * s2_peak));
            return ok;
        };
        if (!fine()) [[unlikely]] {
            bad_end = finite(nw) ? bad_end : k + w;
            if (bad_end <= k) {
                const EngineState st =
                    settle_window<Raw, Shifted>(p, k, w, {sx, s1, s2, mag, mag_peak, s2_peak, s});
                sx = st.sx;
                s1 = st.s1;
                s2 = st.s2;
                mag = st.mag;
                mag_peak = st.mag_peak;
                s2_peak = st.s2_peak;
                s = st.s;
                // Sums summed afresh from finite values that still fail: their
                // squares overflow or underflow (units.hpp).
                if (may_stop && !fine()) return kStopped;
            }
        }
        out(k);
    }
    return largest.big;
}

// Plain sums of the non-NaN values of p[0 .. m - 1]: of the values and of
// their magnitudes (`Raw`), or of v - s and of its square.
template <bool Raw>
[[gnu::noinline]] std::pair<double, double> nan_window_sums(const double* p, size_t m, double s) noexcept {
    double a = 0.0, b = 0.0;
    for (size_t q = 0; q < m; ++q) {
        if (std::isnan(p[q])) continue;
        double d = Raw ? p[q] : p[q] - s;
        a += d;
        b += Raw ? std::fabs(d) : d * d;
    }
    return {a, b};
}

// The running state of nan_sums, handed by value to its rare step.
struct NanState {
    double s1, s2, peak, s;
};

// The window x[first .. i], free of infinities, whose sums failed the one test
// of a step: sums that are not finite are summed afresh, and so is the raw
// sum whose plain sum of |v| has fallen far below its largest value; then
// shifted sums of two or more values whose spread is lost, around the
// window's first non-NaN value.
template <bool Raw>
[[gnu::noinline]] NanState settle_nan(const double* x, size_t first, size_t i, double count, double share,
                                      NanState st) noexcept {
    auto rebuild = [&] {
        auto f = nan_window_sums<Raw>(x + first, i + 1 - first, st.s);
        st.s1 = f.first;
        st.s2 = st.peak = f.second;
    };
    if (!(finite(st.s1) && finite(st.s2)) || (Raw && magnitude_lost(st.s2, st.peak, share))) rebuild();
    if (!Raw && count >= 2.0 && spread_lost(count, st.s1, st.s2, st.peak, share)) {
        size_t q = first;  // bounded, whatever a caller does to x meanwhile
        while (q < i && std::isnan(x[q])) ++q;
        st.s = x[q];
        rebuild();
    }
    return st;
}

// NaN-skipping plain running sums over x[max(0, i - w + 1)], ..., x[i] for
// every i: `Raw` keeps the sum of the values (and of their magnitudes, in S2),
// otherwise S1 of d = v - s and S2 of d * d around the shift s (the series'
// first finite value to begin with). emit(i, c, sum or S1, S2, s) with c the
// number of non-NaN values in the window, as a double. An infinity is not
// skipped: it enters the sums like any value.
//
// Once no infinity is left in the window, sums that are not finite are summed
// afresh; so is the raw sum when the sum of |v| has fallen far below its
// largest value (a large value has left), and shifted sums of two or more
// values whose spread is lost (see resum.hpp), around the window's first
// non-NaN value.
//
// Returns the largest finite magnitude read, kStopped when `may_stop` let it
// stop early, or kUnknown (units.hpp).
//
// The two sums stay two scalar chains: packed side by side into one vector
// register, each step would pay for packing and unpacking them.
template <bool Raw, class Emit>
MS_SCALAR_CHAINS double nan_sums(std::span<const double> x, size_t w, double s, Emit&& emit, bool may_stop) {
    const size_t n = x.size();
    const double share = trusted_share(w);
    double s1 = 0.0, s2 = 0.0, peak = 0.0;
    double count = 0.0;  // non-NaN values in the window (a double: exact, and no conversion per step)
    // One past the latest infinity that entered (0: none). An infinity leaves
    // the sums non-finite from the step it enters until they are rebuilt, so
    // it is looked for only on the steps that fail the test below.
    size_t inf_end = 0;
    // The largest magnitude read; for the raw sums, the largest of the sums
    // of |v| over every build instead, which bounds it at no cost.
    Largest largest;
    double top = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if constexpr (!Raw) largest.add(v);
        if (!std::isnan(v)) {
            count += 1.0;
            const double d = Raw ? v : v - s;
            s1 += d;
            s2 += Raw ? std::fabs(d) : d * d;
        }
        if (i >= w) {
            const double o = x[i - w];
            if (!std::isnan(o)) {
                count -= 1.0;
                const double d = Raw ? o : o - s;
                s1 -= d;
                s2 -= Raw ? std::fabs(d) : d * d;
            }
        }
        peak = s2 > peak ? s2 : peak;
        // One test first, false for NaN (a sum of squares or magnitudes is
        // not finite when the sum of values is not); the rules only when it
        // fails.
        auto fine = [&]() __attribute__((always_inline)) {
            const double c = count;
            return (s2 <= kLargest) &
                   (Raw ? s2 >= share * peak : (c < 2.0) | (c * s2 - s1 * s1 >= c * share * peak));
        };
        if (!fine()) [[unlikely]] {
            inf_end = std::isinf(v) ? i + 1 : inf_end;
            const size_t first = i + 1 - std::min(i + 1, w);
            if (inf_end <= first) {
                top = peak > top ? peak : top;
                const NanState st = settle_nan<Raw>(x.data(), first, i, count, share, {s1, s2, peak, s});
                s1 = st.s1;
                s2 = st.s2;
                peak = st.peak;
                s = st.s;
                // Sums summed afresh from finite values that still fail: their
                // squares overflow or underflow (units.hpp).
                if (may_stop && !fine()) return kStopped;
            }
        }
        emit(i, count, s1, s2, s);
    }
    if constexpr (Raw) return largest_within(peak > top ? peak : top, static_cast<double>(std::min(w, n)));
    return largest.big;
}

// NaN-skipping means; NaN where the window holds no value.
inline double rolling_mean_nan(std::span<const double> x, size_t w, double* out, bool may_stop) {
    return nan_sums<true>(
        x, w, 0.0, [out](size_t i, double c, double sum, double, double) { out[i] = c >= 1.0 ? sum / c : kNaN; },
        may_stop);
}

// The first finite value of x, 0.0 when there is none.
inline double first_finite(std::span<const double> x) noexcept {
    for (double v : x)
        if (finite(v)) return v;
    return 0.0;
}

// Sample variance from the NaN-skipping sums (count c >= 2): negative
// rounding gives 0.0, a NaN variance (an infinity in the window) stays NaN.
inline double nan_window_var(double c, double s1, double s2) noexcept {
    double var = (s2 - (s1 * s1) / c) / (c - 1.0);
    return var > 0.0 || std::isnan(var) ? var : 0.0;
}

inline double rolling_std_nan(std::span<const double> x, size_t w, double* out, bool may_stop) {
    return nan_sums<false>(
        x, w, first_finite(x),
        [out](size_t i, double c, double s1, double s2, double) {
            out[i] = c >= 2.0 ? std::sqrt(nan_window_var(c, s1, s2)) : kNaN;
        },
        may_stop);
}

}  // namespace ms::kernels::rolling
