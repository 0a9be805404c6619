// Ascending sort of doubles under the IEEE total order, done on integer keys
// (defined for every bit pattern, NaN included; -0.0 sorts before +0.0).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

#include "core/result.hpp"

namespace ms::infer {

// Negative values have every bit flipped (reversing their order), the others
// the sign bit set, so unsigned order is the total order.
inline uint64_t total_order_key(double v) noexcept {
    uint64_t b = std::bit_cast<uint64_t>(v);
    return (b >> 63) ? ~b : (b | 0x8000000000000000ULL);
}

inline double from_total_order_key(uint64_t k) noexcept {
    return std::bit_cast<double>((k >> 63) ? (k & ~0x8000000000000000ULL) : ~k);
}

// Sorts n keys ascending: least-significant-digit radix sort with 11-bit
// digits (all six histograms from one pass; a digit every key shares is
// skipped), small inputs by comparison.
inline void sort_keys(uint64_t* k, size_t n) {
    constexpr int kBits = 11, kPasses = 6;
    constexpr size_t kRadix = size_t{1} << kBits;
    if (n < 512) {
        std::sort(k, k + n);
        return;
    }
    Buf<size_t> hist = Buf<size_t>::zeros(kRadix * kPasses);
    for (size_t i = 0; i < n; ++i)
        for (int p = 0; p < kPasses; ++p) ++hist[p * kRadix + ((k[i] >> (p * kBits)) & (kRadix - 1))];
    Buf<uint64_t> tmp(n);
    uint64_t* src = k;
    uint64_t* dst = tmp.data();
    for (int p = 0; p < kPasses; ++p) {
        size_t* h = hist.data() + p * kRadix;
        int shift = p * kBits;
        if (h[(src[0] >> shift) & (kRadix - 1)] == n) continue;
        size_t at = 0;
        for (size_t d = 0; d < kRadix; ++d) {
            size_t c = h[d];
            h[d] = at;
            at += c;
        }
        for (size_t i = 0; i < n; ++i) dst[h[(src[i] >> shift) & (kRadix - 1)]++] = src[i];
        std::swap(src, dst);
    }
    if (src != k) std::copy(src, src + n, k);
}

// The keys of value(0) .. value(n - 1), sorted ascending. Values equal under
// the total order are bit-identical, so any sort of the keys gives the stable
// sort's result.
template <class Value>
Buf<uint64_t> sorted_total_keys(size_t n, Value value) {
    Buf<uint64_t> k(n);
    for (size_t i = 0; i < n; ++i) k[i] = total_order_key(value(i));
    sort_keys(k.data(), n);
    return k;
}

}  // namespace ms::infer
