#include "infer/common/order.hpp"

#include <algorithm>
#include <cstdint>

#include "core/total_order.hpp"

namespace ms::infer {

using core::from_total_order_key;
using core::total_order_key;

Buf<double> rankdata_average(std::span<const double> x) {
    size_t n = x.size();
    Buf<double> ranks(n);
    if (n == 0) return ranks;
    // The keys are read once: a sort whose comparisons read values that
    // change meanwhile (another thread writing the caller's array) may run
    // outside its range.
    Buf<uint64_t> key(n);
    Buf<size_t> idx(n);
    for (size_t i = 0; i < n; ++i) {
        key[i] = total_order_key(x[i]);
        idx[i] = i;
    }
    std::stable_sort(idx.begin(), idx.end(), [&key](size_t a, size_t b) { return key[a] < key[b]; });
    auto value = [&](size_t r) { return from_total_order_key(key[idx[r]]); };
    size_t start = 0;
    while (start < n) {
        size_t end = start + 1;
        while (end < n && value(end) == value(start)) ++end;
        double r = static_cast<double>(start + 1 + end) / 2.0;
        for (size_t j = start; j < end; ++j) ranks[idx[j]] = r;
        start = end;
    }
    return ranks;
}

namespace {

// The candidates for the sorted (0-based) ranks lo..hi (hi - lo <= 1) of a
// set of keys, bucketed by 16 key bits from `shift` up (bits above them are
// shared by the whole set): the keys of the one or two buckets holding those
// ranks, and how many keys order before them.
struct Narrowed {
    Buf<uint64_t> keys;
    size_t below = 0;
    bool one_bucket = false;
};

template <class KeyOf>
Narrowed narrow(size_t n, KeyOf key_of, int shift, size_t lo, size_t hi) {
    Buf<size_t> hist = Buf<size_t>::zeros(size_t{1} << 16);
    for (size_t i = 0; i < n; ++i) ++hist[(key_of(i) >> shift) & 0xFFFF];
    Narrowed r;
    size_t b_lo = 0;
    while (r.below + hist[b_lo] <= lo) r.below += hist[b_lo++];
    size_t b_hi = b_lo, upto = r.below + hist[b_lo];
    while (upto <= hi) upto += hist[++b_hi];
    r.one_bucket = b_lo == b_hi;
    r.keys = Buf<uint64_t>(upto - r.below);
    size_t w = 0, span = b_hi - b_lo;
    const size_t room = r.keys.size();
    for (size_t i = 0; i < n; ++i) {
        uint64_t k = key_of(i);
        // One unsigned comparison: most keys fall on either side, unpredictably.
        // The room bound and the fill only matter when key_of reads a
        // caller's array that changes between the two passes.
        if (((k >> shift) & 0xFFFF) - b_lo <= span && w < room) r.keys[w++] = k;
    }
    for (; w < room; ++w) r.keys[w] = 0;
    return r;
}

// Keys of x at the sorted ranks lo..hi (hi - lo <= 1). Large samples are
// narrowed by 16-bit buckets first, so selection runs over few keys.
std::pair<uint64_t, uint64_t> keys_at(std::span<const double> x, size_t lo, size_t hi) {
    constexpr size_t kSmall = size_t{1} << 14;
    size_t n = x.size();
    Buf<uint64_t> keys;
    size_t below = 0;  // keys ordered before every kept key
    if (n < kSmall) {
        keys = Buf<uint64_t>(n);
        for (size_t i = 0; i < n; ++i) keys[i] = total_order_key(x[i]);
    } else {
        Narrowed r = narrow(
            n, [x](size_t i) { return total_order_key(x[i]); }, 48, lo, hi);
        for (int shift = 32; r.one_bucket && r.keys.size() >= kSmall && shift >= 0; shift -= 16) {
            below += r.below;
            const Buf<uint64_t>& k = r.keys;
            r = narrow(
                k.size(), [&k](size_t i) { return k[i]; }, shift, lo - below, hi - below);
        }
        below += r.below;
        keys = std::move(r.keys);
    }
    auto at = [&](size_t rank) { return keys.begin() + static_cast<ptrdiff_t>(rank - below); };
    std::nth_element(keys.begin(), at(hi), keys.end());
    uint64_t k_hi = *at(hi);
    if (hi == lo) return {k_hi, k_hi};
    return {*std::max_element(keys.begin(), at(hi)), k_hi};
}

}  // namespace

// The middle of a sorted copy, found by selection over the keys: values that
// tie under the total order are bit-identical, so the result is the same.
double median(std::span<const double> x) {
    size_t n = x.size();
    if (n % 2 == 1) return from_total_order_key(keys_at(x, n / 2, n / 2).first);
    auto [lo, hi] = keys_at(x, n / 2 - 1, n / 2);
    return (from_total_order_key(lo) + from_total_order_key(hi)) * 0.5;
}

}  // namespace ms::infer
