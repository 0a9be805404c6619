// Moment statistics of one sample. Every sum is a plain left-to-right sum in
// index order starting from 0.0: results are bit-identical to that loop.
#pragma once

#include <cmath>
#include <limits>
#include <span>

#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "core/unit.hpp"

namespace ms::kernels::descriptive {

inline double mean(std::span<const double> x) noexcept {
    if (x.empty()) return kNaN;
    return core::sum(x) / static_cast<double>(x.size());
}

// True when a positive spread around the rounded mean m is only that
// rounding: values all equal whose mean is inexact (ten 0.1 average to
// 0.09999999999999999) leave a few ulps in every deviation. The values are
// compared only when the spread is already tiny against m.
inline bool rounding_only(double spread, double m, std::span<const double> x) noexcept {
    return core::equal_within_rounding(spread, m, x.data(), x.size());
}

// Sample variance (divisor n - 1) around m; exactly 0 for equal values.
inline double var_about(std::span<const double> x, double m) noexcept {
    double v = core::sum_sq_dev(x, m) / static_cast<double>(x.size() - 1);
    return rounding_only(v, m, x) ? 0.0 : v;
}

// x as the moments read it: beyond the plain range a copy in its
// power-of-two unit (sums of squares of data near 1e+-150 overflow or vanish;
// the moments of the copy scale back exactly), with its plain sum, which the
// first pass finds along with the magnitude.
struct SumPass {
    core::SumMagnitude operator()(std::span<const double> x) const noexcept { return core::sum_and_magnitude(x); }
};
using Sample = core::InUnitPass<SumPass>;

inline double mean_of(const Sample& s) noexcept { return s.summary().sum / static_cast<double>(s.span().size()); }

// Sample variance (divisor n - 1) of s, in its unit.
inline double var_in_unit(const Sample& s) noexcept { return var_about(s.span(), mean_of(s)); }

// Sample variance (divisor n - 1), two passes.
inline double var(std::span<const double> x) {
    if (x.size() < 2) return kNaN;
    const Sample s(x, {});
    return core::unscale(var_in_unit(s), s.unit(), 2);
}

inline double stddev(std::span<const double> x) {
    if (x.size() < 2) return kNaN;
    const Sample s(x, {});
    return core::unscale(std::sqrt(var_in_unit(s)), s.unit(), 1);
}

// Population skewness m3 / m2^1.5.
inline double skew(std::span<const double> x) {
    size_t n = x.size();
    if (n < 3) return kNaN;
    const Sample s(x, {});
    std::span<const double> xs = s.span();
    double dn = static_cast<double>(n);
    double m = mean_of(s);
    double s2 = 0.0, s3 = 0.0;
    for (double v : xs) {
        double d = v - m;
        s2 += d * d;
        s3 += d * (d * d);
    }
    double m2 = s2 / dn, m3 = s3 / dn;
    if (!(m2 > 0.0) || rounding_only(m2, m, xs)) return kNaN;  // zero spread or NaN
    return m3 / std::pow(m2, 1.5);
}

// Population excess kurtosis m4 / v^2 - 3.
inline double kurtosis(std::span<const double> x) {
    size_t n = x.size();
    if (n < 4) return kNaN;
    const Sample s(x, {});
    std::span<const double> xs = s.span();
    double dn = static_cast<double>(n);
    double m = mean_of(s);
    double s2 = 0.0, s4 = 0.0;
    for (double v : xs) {
        double d = v - m;
        double d2 = d * d;
        s2 += d2;
        s4 += d2 * d2;
    }
    double v = s2 / dn, m4 = s4 / dn;
    if (!(v > 0.0) || rounding_only(v, m, xs)) return kNaN;
    return m4 / (v * v) - 3.0;
}

// out_i = (x_i - m)/s, NaN where x_i is NaN; all NaN when the spread s is
// NaN, +inf or zero.
inline void standardize(std::span<const double> x, double m, double s, double* out) noexcept {
    size_t n = x.size();
    if (std::isnan(s) || std::isinf(s) || s == 0.0) {
        for (size_t i = 0; i < n; ++i) out[i] = kNaN;
        return;
    }
    for (size_t i = 0; i < n; ++i) out[i] = (x[i] - m) / s;
    for (size_t i = 0; i < n; ++i) out[i] = x[i] == x[i] ? out[i] : kNaN;
}

// z-scores into out (same length as x).
inline void zscore(std::span<const double> x, double* out) {
    size_t n = x.size();
    if (n == 0) return;
    const Sample s(x, {});
    double m = mean_of(s);
    double sd = n < 2 ? kNaN : std::sqrt(var_in_unit(s));
    standardize(s.span(), m, sd, out);
}

}  // namespace ms::kernels::descriptive
