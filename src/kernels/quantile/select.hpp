// Selection of order statistics under the IEEE total order (-0.0 before
// +0.0). Every caller refuses NaN first, so in practice this is numeric order
// with signed zeros kept apart. Two entry points: `select_pair` permutes a
// buffer the caller owns; `order_pair` reads values it may not move (a
// caller's array, or values computed on the fly) and copies only the few
// that can hold the wanted rank.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/interpolate.hpp"
#include "core/result.hpp"
#include "core/total_order.hpp"
#include "kernels/quantile/radix.hpp"

namespace ms::kernels::quantile {

// True when any value is NaN; reads in blocks so the common case vectorises.
inline bool has_nan(std::span<const double> x) noexcept {
    const size_t n = x.size();
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        bool bad = false;
        for (size_t j = 0; j < 32; ++j) bad |= x[i + j] != x[i + j];
        if (bad) return true;
    }
    for (; i < n; ++i)
        if (x[i] != x[i]) return true;
    return false;
}

// Reads a slice by index.
inline auto at(std::span<const double> x) noexcept {
    return [x](size_t i) { return x[i]; };
}

// The k-th smallest value (0-based, k < buf.size()). Rearranges buf so that
// position k holds it, no value before k is greater and no value after k is
// smaller. k = 0 and k = n - 1 are one scan.
inline double select_nth_f64(std::span<double> buf, size_t k) {
    const size_t n = buf.size();
    if (k == 0 || k + 1 == n) {
        size_t best = 0;
        for (size_t i = 1; i < n; ++i) {
            bool better = k == 0 ? core::total_less(buf[i], buf[best]) : core::total_less(buf[best], buf[i]);
            if (better) best = i;
        }
        std::swap(buf[k], buf[best]);
        return buf[k];
    }
    std::nth_element(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(k), buf.end(), core::total_less);
    return buf[k];
}

// Up to this size selection goes straight to the comparison select; above
// it, narrowing wins even on short inputs because it mispredicts no branches.
inline constexpr size_t kNarrowMin = 40;

// The values of ranks k and k + 1 (the second only when `with_next`, which
// needs k + 1 < n).
struct RankPair {
    double at;
    double next;
};

// Both ranks of a NaN-free buffer; large buffers are narrowed in place by key
// buckets first. buf ends up permuted.
inline RankPair select_pair(std::span<double> buf, size_t k, bool with_next) {
    bool have_next = false;
    uint64_t next_key = 0;
    while (buf.size() > kNarrowMin) {
        const size_t n = buf.size();
        auto get = at(buf);
        const KeyBounds kb = scan_keys(n, get);
        const Bucket bk = kb.lo == kb.hi ? Bucket{0, 0, 0, n} : bucket_of_rank(n, get, k, kb.lo, kb.hi);
        if (bk.count == n)
            return {buf[0], have_next ? core::from_total_order_key(next_key) : buf[0]};  // all equal
        const bool want = with_next && !have_next && k - bk.before + 1 == bk.count;
        size_t j = 0;
        uint64_t above =
            walk_bucket(n, get, kb.lo, bk, want, [&](size_t i, double) { std::swap(buf[i], buf[j++]); });
        if (want) {
            have_next = true;
            next_key = above;
        }
        buf = buf.first(bk.count);
        k -= bk.before;
    }
    RankPair out{select_nth_f64(buf, k), 0.0};
    if (with_next) {
        if (have_next) {
            out.next = core::from_total_order_key(next_key);
        } else {
            // By the partition property rank k + 1 is the smallest value after k.
            double m = buf[k + 1];
            for (size_t i = k + 2; i < buf.size(); ++i)
                if (core::total_less(buf[i], m)) m = buf[i];
            out.next = m;
        }
    }
    return out;
}

// Both ranks of n NaN-free values given by get(i), which stay where they are;
// kb is their scan_keys result. Only the values of the bucket holding rank k
// are copied.
template <class Get>
RankPair order_pair(size_t n, Get get, size_t k, bool with_next, const KeyBounds& kb) {
    if (kb.lo == kb.hi) return {get(0), get(0)};
    Buf<double> cur;
    if (n <= kNarrowMin) {
        cur = Buf<double>(n);
        for (size_t i = 0; i < n; ++i) cur[i] = get(i);
        return select_pair(cur.span(), k, with_next);
    }
    const Bucket bk = bucket_of_rank(n, get, k, kb.lo, kb.hi);
    if (bk.count == n) return {get(0), get(0)};  // all equal
    const bool want = with_next && k - bk.before + 1 == bk.count;
    // One slot more than the bucket holds: when get's values change under
    // us, values past the count all land in it and are dropped.
    const size_t count = bk.count;
    cur = Buf<double>(count + 1);
    double* c = cur.data();
    size_t j = 0;
    uint64_t above = walk_bucket(n, get, kb.lo, bk, want, [c, count, &j](size_t, double v) {
        c[j] = v;
        j += j < count;
    });
    for (; j < count; ++j) c[j] = 0.0;
    RankPair p = select_pair(cur.span().first(count), k - bk.before, with_next && !want);
    if (want) p.next = core::from_total_order_key(above);
    return p;
}

// The quantile at fractional rank h in [0, n - 1] of NaN-free values (kb their
// scan): the value at floor(h), interpolated towards ceil(h).
inline double quantile_at(std::span<const double> x, double h, const KeyBounds& kb) {
    double lo = std::floor(h), hi = std::ceil(h);
    auto i = static_cast<size_t>(lo);
    if (lo == hi) return order_pair(x.size(), at(x), i, false, kb).at;
    RankPair p = order_pair(x.size(), at(x), i, true, kb);
    return core::lerp(p.at, p.next, h - lo);
}

// The same on a sorted slice; a ceil(h) past the end reads floor(h) alone.
inline double sorted_quantile(std::span<const double> s, double h) noexcept {
    double lo = std::floor(h), hi = std::ceil(h);
    auto i = static_cast<size_t>(lo), j = static_cast<size_t>(hi);
    if (i == j || j >= s.size()) return s[i];
    return core::lerp(s[i], s[j], h - lo);
}

}  // namespace ms::kernels::quantile
