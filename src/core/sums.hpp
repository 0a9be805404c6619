// Sums whose order of additions is part of the result: each adds its terms
// one at a time in index order, so a result is bit-identical to that loop.
#pragma once

#include <span>

namespace ms::core {

// Plain left-to-right sum, starting from `start` (0.0, or -0.0 where an empty
// or all-negative-zero sum must keep its sign).
inline double sum(std::span<const double> x, double start = 0.0) noexcept {
    double s = start;
    for (double v : x) s += v;
    return s;
}

// Sum of squared deviations from m, left to right from 0.0.
inline double sum_sq_dev(std::span<const double> x, double m) noexcept {
    double s = 0.0;
    for (double v : x) {
        double d = v - m;
        s += d * d;
    }
    return s;
}

// A Kahan-compensated running sum: terms are added in the order given. T is
// double, or a vector of independent lanes that each keep their own sum.
template <class T = double>
struct Kahan {
    T sum{}, c{};
    void add(T term) noexcept {
        T y = term - c;
        T t = sum + y;
        c = (t - sum) - y;
        sum = t;
    }
    // add(-term) to the bit, without forming -term: (-term) - c is
    // -(term + c) exactly, and adding a negated value is subtracting it.
    void sub(T term) noexcept {
        T y = term + c;
        T t = sum - y;
        c = (t - sum) + y;
        sum = t;
    }
};

}  // namespace ms::core
