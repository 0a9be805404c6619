// Stable least-significant-digit radix sort by a 64-bit unsigned key, for
// the large inputs of the rank and adjustment functions.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/result.hpp"

namespace ms::infer {

// Sorts `a` ascending by key(item), equal keys keeping their order. Digits
// of 11 bits; a digit that every key shares costs one counting pass only.
template <class T, class Key>
void radix_sort(Buf<T>& a, Key key) {
    constexpr int kBits = 11;
    constexpr size_t kMask = (size_t{1} << kBits) - 1;
    size_t n = a.size();
    if (n < 2) return;
    Buf<T> tmp(n);
    Buf<size_t> count(kMask + 1);
    for (int shift = 0; shift < 64; shift += kBits) {
        std::fill(count.begin(), count.end(), size_t{0});
        for (const T& it : a) ++count[(key(it) >> shift) & kMask];
        if (count[(key(a[0]) >> shift) & kMask] == n) continue;
        size_t run = 0;
        for (size_t& c : count) run += std::exchange(c, run);
        for (const T& it : a) tmp[count[(key(it) >> shift) & kMask]++] = it;
        std::swap(a, tmp);
    }
}

// Below this size a comparison sort is faster than the radix passes.
inline constexpr size_t kRadixFrom = 2048;

// Sorts values ascending (no NaN; -0.0 may land on either side of +0.0, they
// compare equal); large inputs are radix-sorted by their total-order key.
inline void sort_values(Buf<double>& v) {
    if (v.size() < kRadixFrom) {
        std::sort(v.begin(), v.end());
        return;
    }
    radix_sort(v, [](double d) {
        uint64_t b = std::bit_cast<uint64_t>(d);
        return (b >> 63) ? ~b : (b | 0x8000000000000000ULL);
    });
}

}  // namespace ms::infer
