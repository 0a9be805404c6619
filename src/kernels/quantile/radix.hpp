// Radix machinery over the total-order keys: the bucket narrowing that
// selection uses on large inputs, and sorted copies. Both order values
// exactly as the total-order comparison does, so results never depend on
// which path ran.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <type_traits>

#include "core/radix_sort.hpp"
#include "core/result.hpp"
#include "core/total_order.hpp"

namespace ms::kernels::quantile {

// A sorted copy of x, ascending by the total order.
inline Buf<double> sorted_copy(std::span<const double> x) {
    Buf<double> out(x.size()), scratch(x.size());
    core::sort_total_into(x, out.data(), scratch.data());
    return out;
}

// One pass over n >= 1 values given by get(i): whether any is NaN, and bounds
// lo <= hi on the keys of the others. The bounds are exact except that a zero
// extreme gives the key of -0.0 (lo) or +0.0 (hi), since the numeric scan
// cannot tell the zeros apart; those two keys are adjacent.
struct KeyBounds {
    bool nan;
    uint64_t lo, hi;
};

template <class Get>
KeyBounds scan_keys(size_t n, Get get) {
    // Four independent lanes keep the min/max chains from serialising.
    double mn[4], mx[4];
    bool nan = false;
    for (int l = 0; l < 4; ++l) mn[l] = mx[l] = get(0);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int l = 0; l < 4; ++l) {
            double v = get(i + l);
            nan |= v != v;
            mn[l] = v < mn[l] ? v : mn[l];
            mx[l] = v > mx[l] ? v : mx[l];
        }
    }
    for (; i < n; ++i) {
        double v = get(i);
        nan |= v != v;
        mn[0] = v < mn[0] ? v : mn[0];
        mx[0] = v > mx[0] ? v : mx[0];
    }
    for (int l = 1; l < 4; ++l) {
        mn[0] = mn[l] < mn[0] ? mn[l] : mn[0];
        mx[0] = mx[l] > mx[0] ? mx[l] : mx[0];
    }
    if (mn[0] != mn[0]) return {true, 0, 0};  // get(0) was NaN
    return {nan, core::total_order_key(mn[0] == 0.0 ? -0.0 : mn[0]),
            core::total_order_key(mx[0] == 0.0 ? 0.0 : mx[0])};
}

// Narrowing to the k-th smallest of n NaN-free values with key bounds lo < hi:
// the keys are bucketed by their top bits above lo (2^11 buckets, 2^16 for
// large n), and the bucket holding rank k is found from the histogram. Each
// step shrinks the key range by a factor of at least 2^10, so a handful of
// steps reach any rank in linear time; a bucket holds all n values only when
// they are equal.
struct Bucket {
    int shift;
    size_t index, before, count;
    size_t top = 0;  // the last bucket
};

// The bucket of a key. Values read from a caller's array may have changed
// since their bounds were scanned; their keys, outside [lo, hi], are folded
// into some bucket (top is 2^w - 1) instead of outside the histogram.
inline size_t bucket_index(uint64_t key, uint64_t lo, int shift, size_t top) noexcept {
    return static_cast<size_t>((key - lo) >> shift) & top;
}

template <class Get>
Bucket bucket_of_rank(size_t n, Get get, size_t k, uint64_t lo, uint64_t hi) {
    const int w = n >= (size_t{1} << 18) ? 16 : 11;
    const int width = std::bit_width(hi - lo);
    const int shift = width > w ? width - w : 0;
    const size_t top = (size_t{1} << w) - 1;
    // Every value lands in some bucket, so the counts add up to n > k and the
    // search below stops inside the histogram.
    auto tally = [&, n, lo, shift, top](auto* count) -> Bucket {
        for (size_t i = 0; i < n; ++i) ++count[bucket_index(core::total_order_key(get(i)), lo, shift, top)];
        size_t b = 0, before = 0;
        while (before + count[b] <= k) before += count[b++];
        return {shift, b, before, count[b], top};
    };
    if (w == 16) return tally(Buf<size_t>::zeros(size_t{1} << 16).data());
    std::array<uint32_t, size_t{1} << 11> small{};  // n < 2^18 fits
    return tally(small.data());
}

// Calls take(i, v) for each value of the bucket in index order and returns
// the smallest key above the bucket when `above` is set (all ones if none).
// Over a caller's array that changes meanwhile, take may be called more or
// fewer than bk.count times.
template <class Get, class Take>
uint64_t walk_bucket(size_t n, Get get, uint64_t lo, const Bucket& bk, bool above, Take take) {
    uint64_t min_above = ~uint64_t{0};
    // The bucket as a range of key offsets from lo: [first, first + span].
    const uint64_t first = uint64_t{bk.index} << bk.shift;
    const uint64_t span = (uint64_t{1} << bk.shift) - 1;
    // Two copies of the loop keep the usual one free of the (unpredictable)
    // comparison against the bucket.
    auto walk = [&, n, lo, first, span](auto track) {
        for (size_t i = 0; i < n; ++i) {
            double v = get(i);
            uint64_t key = core::total_order_key(v);
            uint64_t off = key - lo;
            if constexpr (decltype(track)::value)
                min_above = std::min(min_above, off > first + span ? key : ~uint64_t{0});
            if (off - first <= span) take(i, v);
        }
    };
    if (above)
        walk(std::true_type{});
    else
        walk(std::false_type{});
    return min_above;
}

}  // namespace ms::kernels::quantile
