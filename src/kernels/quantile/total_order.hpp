// The IEEE 754 total order on doubles as an unsigned key:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
// Every function that sorts or selects sample values orders them by this key;
// stable sorts keep ties in input order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "core/result.hpp"

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

}  // namespace ms::kernels

// ------------------------------------------------------------ stable radix sort
//
// A stable LSD radix sort on the total-order key, 8 bits a pass, serves every
// function that needs sorted values or stable ranks: exact, stable by
// construction and linear in n. It moves the values themselves (the key is
// recomputed on each read), so sorted values need no conversion pass.

namespace ms::kernels {

namespace detail {

// Below this size an insertion sort beats the radix passes' fixed cost.
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
        uint64_t k = total_order_key(v);
        for (int p = 0; p < 8; ++p) ++d.count[p][(k >> (8 * p)) & 0xFF];
    }
    // A digit every key shares leaves the order unchanged: skip its pass.
    uint64_t k0 = n ? total_order_key(copy[0]) : 0;
    d.npass = 0;
    for (int p = 0; p < 8; ++p)
        if (d.count[p][(k0 >> (8 * p)) & 0xFF] != n) d.pass[d.npass++] = p;
}

// One stable scatter by digit p. A null `from` payload stands for the indices
// 0..n-1; V = void carries none.
template <class V>
inline void scatter(const double* src, const V* from, double* dst, V* to, size_t n, size_t* count, int p) noexcept {
    size_t s = 0;
    for (int d = 0; d < 256; ++d) {
        size_t c = count[d];
        count[d] = s;
        s += c;
    }
    int sh = 8 * p;
    for (size_t i = 0; i < n; ++i) {
        double v = src[i];
        size_t j = count[(total_order_key(v) >> sh) & 0xFF]++;
        dst[j] = v;
        if constexpr (!std::is_void_v<V>) to[j] = from ? from[i] : static_cast<V>(i);
    }
}

}  // namespace detail

// The values of x sorted ascending by the total order into out; scratch is n
// slots of working space. Tied values are bit-identical, so the stable order
// of ties is moot here.
inline void sort_total_into(std::span<const double> x, double* out, double* scratch) noexcept {
    size_t n = x.size();
    if (n < detail::kRadixMin) {
        for (size_t i = 0; i < n; ++i) {
            double v = x[i];
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
    size_t n = x.size();
    const double* px = x.data();
    if (n < detail::kRadixMin) {
        for (size_t i = 0; i < n; ++i) {
            uint64_t k = total_order_key(px[i]);
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

}  // namespace ms::kernels
