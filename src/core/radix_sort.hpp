// Least-significant-digit radix sorts on 64-bit unsigned keys: exact, stable
// by construction and linear in n. A digit every key shares costs only its
// share of the one counting pass.
//
// Two engines, each tuned for its callers:
// - doubles under the total order (8-bit digits, optional index payload):
//   sorted values and stable ranks of a caller's array, read once into a
//   copy that the passes move (the key is recomputed on each read, so sorted
//   values need no conversion pass).
// - any items by a key (11-bit digits): keys alone, or records sorted by one
//   of their fields.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "core/result.hpp"
#include "core/total_order.hpp"

namespace ms::core {

namespace detail {

// Below this size an insertion sort beats the 8-bit passes' fixed cost.
inline constexpr size_t kRadixMin = 64;

struct Digits {
    size_t count[8][256];
    int pass[8];  // the digits that differ between keys, low to high
    int npass;
};

// Counts the digits of the n values of x and copies them into `copy` (n
// slots) in the same read. The passes then read only the copy, so the counts
// always describe the values scattered: the caller's memory may be rewritten
// by another thread meanwhile, and a scatter whose counts did not match its
// values would write outside its buffer.
inline void count_digits(const double* x, size_t n, Digits& d, double* copy) noexcept {
    std::memset(d.count, 0, sizeof d.count);
    for (size_t i = 0; i < n; ++i) {
        // One load the compiler may not repeat: a plain one may become two
        // reads (the copy split off into a memcpy, say), which could differ.
        // The empty asm makes v opaque, so only this read can supply it.
        double v = x[i];
        asm("" : "+x"(v));
        copy[i] = v;
        const uint64_t k = total_order_key(v);
        for (int p = 0; p < 8; ++p) ++d.count[p][(k >> (8 * p)) & 0xFF];
    }
    // A digit every key shares leaves the order unchanged: skip its pass.
    const uint64_t k0 = n ? total_order_key(copy[0]) : 0;
    d.npass = 0;
    for (int p = 0; p < 8; ++p)
        if (d.count[p][(k0 >> (8 * p)) & 0xFF] != n) d.pass[d.npass++] = p;
}

// One stable scatter by digit p. A null `from` payload stands for the indices
// 0..n-1; V = void carries none.
template <class V>
inline void scatter(const double* src, const V* from, double* dst, V* to, size_t n, size_t* count,
                    int p) noexcept {
    size_t s = 0;
    for (int d = 0; d < 256; ++d) {
        size_t c = count[d];
        count[d] = s;
        s += c;
    }
    const int sh = 8 * p;
    for (size_t i = 0; i < n; ++i) {
        const double v = src[i];
        const size_t j = count[(total_order_key(v) >> sh) & 0xFF]++;
        dst[j] = v;
        if constexpr (!std::is_void_v<V>) to[j] = from ? from[i] : static_cast<V>(i);
    }
}

}  // namespace detail

// The values of x sorted ascending by the total order into out; scratch is n
// slots of working space. Tied values are bit-identical, so the stable order
// of ties is moot here.
inline void sort_total_into(std::span<const double> x, double* out, double* scratch) noexcept {
    const size_t n = x.size();
    if (n < detail::kRadixMin) {
        for (size_t i = 0; i < n; ++i) {
            const double v = x[i];
            size_t j = i;
            for (; j > 0 && total_less(v, out[j - 1]); --j) out[j] = out[j - 1];
            out[j] = v;
        }
        return;
    }
    detail::Digits d;
    detail::count_digits(x.data(), n, d, out);
    if (d.npass == 0) return;
    // Alternate so that the last pass writes into out; the first pass reads
    // the copy, which must then sit in the other buffer.
    double* buf[2] = {out, scratch};
    int cur = d.npass % 2 == 1 ? 0 : 1;
    if (cur == 0) std::memcpy(scratch, out, n * sizeof(double));
    const double* src = buf[cur ^ 1];
    for (int q = 0; q < d.npass; ++q) {
        detail::scatter<void>(src, nullptr, buf[cur], nullptr, n, d.count[d.pass[q]], d.pass[q]);
        src = buf[cur];
        cur ^= 1;
    }
}

// order[r] = the index of the value of rank r under the total order, ties in
// index order. Index must hold n - 1.
template <class Index>
inline void stable_order_total(std::span<const double> x, Index* order) {
    const size_t n = x.size();
    const double* px = x.data();
    if (n < detail::kRadixMin) {
        for (size_t i = 0; i < n; ++i) {
            const uint64_t k = total_order_key(px[i]);
            size_t j = i;
            for (; j > 0 && total_order_key(px[order[j - 1]]) > k; --j) order[j] = order[j - 1];
            order[j] = static_cast<Index>(i);
        }
        return;
    }
    Buf<double> va(n), vb(n);
    detail::Digits d;
    detail::count_digits(px, n, d, va.data());
    if (d.npass == 0) {
        for (size_t i = 0; i < n; ++i) order[i] = static_cast<Index>(i);
        return;
    }
    Buf<Index> ot(n);
    // The values go back and forth from the copy in va; the indices
    // alternate so that the last pass writes into order.
    double* src = va.data();
    double* dst = vb.data();
    Index* obuf[2] = {order, ot.data()};
    int cur = d.npass % 2 == 1 ? 0 : 1;
    const Index* from = nullptr;
    for (int q = 0; q < d.npass; ++q) {
        detail::scatter(src, from, dst, obuf[cur], n, d.count[d.pass[q]], d.pass[q]);
        std::swap(src, dst);
        from = obuf[cur];
        cur ^= 1;
    }
}

// Below this many items a comparison sort beats radix_sort_by.
inline constexpr size_t kRadixFrom = 2048;

// Sorts the n items of a ascending by key(item), equal keys keeping their
// order: 11-bit digits, all six histograms from one pass. The items must be
// the caller's own (key(item) read twice must agree).
template <class T, class Key>
void radix_sort_by(T* a, size_t n, Key key) {
    constexpr int kBits = 11, kPasses = 6;
    constexpr size_t kRadix = size_t{1} << kBits;
    if (n < 2) return;
    Buf<size_t> hist = Buf<size_t>::zeros(kRadix * kPasses);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t k = key(a[i]);
        for (int p = 0; p < kPasses; ++p) ++hist[p * kRadix + ((k >> (p * kBits)) & (kRadix - 1))];
    }
    Buf<T> tmp(n);
    T* src = a;
    T* dst = tmp.data();
    for (int p = 0; p < kPasses; ++p) {
        size_t* h = hist.data() + p * kRadix;
        const int shift = p * kBits;
        if (h[(key(src[0]) >> shift) & (kRadix - 1)] == n) continue;
        size_t at = 0;
        for (size_t d = 0; d < kRadix; ++d) at += std::exchange(h[d], at);
        for (size_t i = 0; i < n; ++i) dst[h[(key(src[i]) >> shift) & (kRadix - 1)]++] = src[i];
        std::swap(src, dst);
    }
    if (src != a) std::copy(src, src + n, a);
}

// Sorts n keys ascending; small inputs by comparison.
inline void sort_keys(uint64_t* k, size_t n) {
    if (n < 512) {
        std::sort(k, k + n);
        return;
    }
    radix_sort_by(k, n, [](uint64_t v) { return v; });
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

}  // namespace ms::core
