// Running sums over a sliding window of one series: the compensated engine
// behind the plain rolling family (full windows only) and the plain sums of
// the NaN-skipping family (one output per position, growing prefix first).
//
// A running sum that has taken in an infinity (or overflowed) is NaN from
// then on, whatever leaves the window later. Each engine therefore counts the
// non-finite values its window holds: while there are any, the mean follows
// from them alone (NaN for a NaN or for both infinities, else that infinity)
// and the spread is NaN; once they have all left while a sum is still not
// finite, the current window is summed afresh.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "kernels/rolling/kahan.hpp"

namespace ms::kernels::rolling {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline bool finite(double v) noexcept { return std::isfinite(v); }

// Non-finite values in a window.
struct NonFinite {
    size_t nan = 0, pos = 0, neg = 0;
    void enter(double v) noexcept {
        nan += std::isnan(v);
        pos += v == std::numeric_limits<double>::infinity();
        neg += v == -std::numeric_limits<double>::infinity();
    }
    void leave(double v) noexcept {
        nan -= std::isnan(v);
        pos -= v == std::numeric_limits<double>::infinity();
        neg -= v == -std::numeric_limits<double>::infinity();
    }
    bool any() const noexcept { return nan + pos + neg != 0; }
    // The window's sum, as far as the non-finite values decide it.
    double sum() const noexcept {
        if (nan || (pos && neg)) return kNaN;
        return pos ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
};

// Kahan sums of w values from p, and of their shifted values and squares.
// Returned by value: sums whose address escapes would live in memory.
inline Kahan<double> fresh_sum(const double* p, size_t w) noexcept {
    Kahan<double> k;
    for (size_t j = 0; j < w; ++j) k.add(p[j]);
    return k;
}
struct Moments {
    Kahan<double> s1, s2;
};
inline Moments fresh_moments(const double* p, size_t w, double s) noexcept {
    Moments m;
    for (size_t j = 0; j < w; ++j) {
        double d = p[j] - s;
        m.s1.add(d);
        m.s2.add(d * d);
    }
    return m;
}

// Means and/or standard deviations of the full windows x[k], ..., x[k + w - 1],
// k = 0 .. n - w, passed as emit(k, mean, sd). `Raw` keeps the Kahan sum of the
// values (mean), `Shifted` the Kahan sums of v - s and (v - s)^2 around one
// shift s for the whole series (sd); an output whose sums are not kept is 0.
// Every update adds the entering term, then the negated leaving term.
template <bool Raw, bool Shifted, class Emit>
void running_mean_std(std::span<const double> x, size_t w, Emit&& emit) {
    const size_t n = x.size();
    if (w == 0 || n < w) return;
    const double* p = x.data();
    const double s = finite(p[0]) ? p[0] : 0.0;
    const double wd = static_cast<double>(w);
    // Each group of sums is rebuilt on its own, so that a mean does not
    // depend on whether the sd was asked for too.
    Kahan<double> sx, s1, s2;
    auto refill = [&](size_t k, bool raw, bool shifted) {
        if (raw) sx = fresh_sum(p + k, w);
        if (shifted) {
            Moments f = fresh_moments(p + k, w, s);
            s1 = f.s1;
            s2 = f.s2;
        }
    };
    NonFinite bad;
    auto out = [&](size_t k) {
        double mean = 0.0, sd = 0.0;
        if constexpr (Raw) mean = bad.any() ? bad.sum() : sx.s / wd;
        if constexpr (Shifted) {
            if (w == 1 || bad.any()) {
                sd = kNaN;  // no spread from one value
            } else {
                double var = (s2.s - (s1.s * s1.s) / wd) / (wd - 1.0);
                sd = std::isnan(var) ? kNaN : std::sqrt(var > 0.0 ? var : 0.0);
            }
        }
        emit(k, mean, sd);
    };

    for (size_t j = 0; j < w; ++j) bad.enter(p[j]);
    refill(0, Raw, Shifted);
    out(0);
    const size_t L = n - w + 1;
    for (size_t k = 1; k < L; ++k) {
        const double nw = p[k + w - 1], old = p[k - 1];
        if (!finite(nw)) bad.enter(nw);
        if (!finite(old)) bad.leave(old);
        if constexpr (Shifted) {
            double dn = nw - s, dold = old - s;
            s1.add(dn);
            s1.add(-dold);
            s2.add(dn * dn);
            s2.add(-(dold * dold));
        }
        if constexpr (Raw) {
            sx.add(nw);
            sx.add(-old);
        }
        if (!bad.any()) refill(k, Raw && !finite(sx.s), Shifted && !(finite(s1.s) && finite(s2.s)));
        out(k);
    }
}

// NaN-skipping means over x[max(0, i - w + 1)], ..., x[i] for every i, with a
// plain running sum; NaN where the window holds no value.
inline void rolling_mean_nan(std::span<const double> x, size_t w, double* out) {
    const size_t n = x.size();
    double sum = 0.0;
    size_t count = 0;
    NonFinite inf;  // counts infinities only: NaN values are skipped
    for (size_t i = 0; i < n; ++i) {
        double v = x[i];
        if (!std::isnan(v)) {
            sum += v;
            ++count;
            if (std::isinf(v)) inf.enter(v);
        }
        if (i >= w) {
            double o = x[i - w];
            if (!std::isnan(o)) {
                sum -= o;
                --count;
                if (std::isinf(o)) inf.leave(o);
            }
        }
        if (inf.any()) {
            out[i] = inf.sum();
            continue;
        }
        if (!finite(sum)) {
            sum = 0.0;
            for (size_t j = i + 1 - (i + 1 < w ? i + 1 : w); j <= i; ++j)
                if (!std::isnan(x[j])) sum += x[j];
        }
        out[i] = count >= 1 ? sum / static_cast<double>(count) : kNaN;
    }
}

// The first finite value of x, 0.0 when there is none.
inline double first_finite(std::span<const double> x) noexcept {
    for (double v : x)
        if (finite(v)) return v;
    return 0.0;
}

// NaN-skipping plain sums S1 of d = v - s and S2 of d * d over the same
// windows as rolling_mean_nan, one shift s for the series; emit(i, c, S1, S2)
// with c the number of non-NaN values in the window.
template <class Emit>
void nan_moments(std::span<const double> x, size_t w, double s, Emit&& emit) {
    const size_t n = x.size();
    double s1 = 0.0, s2 = 0.0;
    size_t count = 0, inf = 0;
    for (size_t i = 0; i < n; ++i) {
        double v = x[i];
        if (!std::isnan(v)) {
            double d = v - s;
            s1 += d;
            s2 += d * d;
            ++count;
            inf += std::isinf(v);
        }
        if (i >= w) {
            double o = x[i - w];
            if (!std::isnan(o)) {
                double d = o - s;
                s1 -= d;
                s2 -= d * d;
                --count;
                inf -= std::isinf(o);
            }
        }
        if (inf == 0 && !(finite(s1) && finite(s2))) {
            s1 = s2 = 0.0;
            for (size_t j = i + 1 - (i + 1 < w ? i + 1 : w); j <= i; ++j) {
                if (std::isnan(x[j])) continue;
                double d = x[j] - s;
                s1 += d;
                s2 += d * d;
            }
        }
        emit(i, count, s1, s2);
    }
}

// Sample variance from the NaN-skipping sums (count c >= 2), negative
// rounding clamped to 0.0. NaN stays NaN: it means the window holds an
// infinity, which has no finite spread.
inline double nan_window_var(size_t c, double s1, double s2) noexcept {
    double cd = static_cast<double>(c);
    double var = (s2 - (s1 * s1) / cd) / (cd - 1.0);
    return std::isnan(var) ? kNaN : (var > 0.0 ? var : 0.0);
}

inline void rolling_std_nan(std::span<const double> x, size_t w, double* out) {
    nan_moments(x, w, first_finite(x), [&](size_t i, size_t c, double s1, double s2) {
        out[i] = c >= 2 ? std::sqrt(nan_window_var(c, s1, s2)) : kNaN;
    });
}

}  // namespace ms::kernels::rolling
