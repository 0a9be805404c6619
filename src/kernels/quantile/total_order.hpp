// The IEEE 754 total order on doubles as an unsigned key:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
// Every function that sorts or selects sample values orders them by this key;
// stable sorts keep ties in input order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

namespace ms::kernels {

inline uint64_t total_order_key(double v) noexcept {
    uint64_t b = std::bit_cast<uint64_t>(v);
    // Negative values: flip every bit (reverses their order); others: set the sign bit.
    return (b >> 63) ? ~b : (b | 0x8000000000000000ULL);
}

inline bool total_less(double a, double b) noexcept { return total_order_key(a) < total_order_key(b); }

// Sorts values in place by the total order (ties are bit-identical, so
// stability is unobservable here).
inline void sort_total(std::span<double> v) {
    std::sort(v.begin(), v.end(), [](double a, double b) { return total_less(a, b); });
}

// Indices 0..n-1 stably sorted by the total order of x[i].
template <class Index>
inline void argsort_total_stable(std::span<const double> x, std::span<Index> idx) {
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<Index>(i);
    std::stable_sort(idx.begin(), idx.end(),
                     [&](Index a, Index b) { return total_order_key(x[a]) < total_order_key(x[b]); });
}

}  // namespace ms::kernels
