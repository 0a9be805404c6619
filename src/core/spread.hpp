// Numeric guards shared by every family that forms a spread or a correlation.
// Python-free; kernels include this, never each other.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace ms::core {

// sqrt(a * b) for the denominator of a correlation. The product of two
// variances overflows or underflows long before either does (data near
// 1e+-150); then the significands are multiplied and the exponent sum halved
// apart, exactly, so the result rounds as sqrt(a * b) would with an unbounded
// exponent (scaling data by a power of two changes no bit of r, and
// sqrt(a * a) is still a). Whenever the product is a finite normal number (or
// exactly zero from a zero factor) it is kept, bits and all.
inline double sqrt_product(double a, double b) {
    const double p = a * b;
    if (std::isnormal(p) || a == 0.0 || b == 0.0 || !std::isfinite(a) || !std::isfinite(b)) {
        return std::sqrt(p);
    }
    int ea = 0, eb = 0;
    double f = std::frexp(a, &ea) * std::frexp(b, &eb);  // in [0.25, 1): normal
    int e = ea + eb;
    if (e % 2 != 0) {
        f *= 2.0;
        --e;
    }
    return std::ldexp(std::sqrt(f), e / 2);
}

// A spread computed around a rounded mean is never exactly zero for constant
// data whose mean is inexact (ten 0.1 average to 0.09999999999999999). This
// says whether a variance is small enough against the mean that it may be
// only that rounding: a generous bound of 8n ulps of the mean, squared. Callers then check
// the values themselves (all_equal), so ordinary data pays one comparison.
inline bool spread_within_rounding(double var, double mean, std::size_t n) {
    const double tol = 8.0 * static_cast<double>(n) * std::numeric_limits<double>::epsilon() * std::fabs(mean);
    return var <= tol * tol;
}

// True when the n values value(0), ..., value(n - 1) are all equal (n <= 1
// too). NaN is never equal to anything, so a NaN makes it false. `value`
// reads them wherever they lie (differences never stored, a column of a
// strided or float32 array).
template <class Value>
inline bool all_equal_of(std::size_t n, Value value) {
    if (n == 0) return true;
    const double v = value(0);
    for (std::size_t i = 1; i < n; ++i) {
        if (!(value(i) == v)) return false;
    }
    return v == v;
}

// The same for the n values at x[0], x[stride], ...
inline bool all_equal(const double* x, std::size_t n, std::ptrdiff_t stride = 1) {
    return all_equal_of(n, [x, stride](std::size_t i) { return x[static_cast<std::ptrdiff_t>(i) * stride]; });
}

// True when var, a positive variance of the n values at x about their mean
// m, is only the rounding of m: the values are all equal. Ordinary data stop
// at the first comparison.
inline bool equal_within_rounding(double var, double mean, const double* x, std::size_t n) {
    return var > 0.0 && spread_within_rounding(var, mean, n) && all_equal(x, n);
}

}  // namespace ms::core
