#include "kernels/robust/fit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "core/radix_sort.hpp"
#include "core/total_order.hpp"

namespace ms::kernels::robust {

// ---------------------------------------------------------------- parsing

Result<ScalePolicy> parse_scale_policy(std::string_view scale, bool mad_consistent) {
    if (scale == "mad") return mad_consistent ? ScalePolicy::MadConsistent : ScalePolicy::Mad;
    if (scale == "iqr") return ScalePolicy::Iqr;
    if (scale == "qn") return ScalePolicy::Qn;
    return value_error("Invalid scale: " + std::string(scale) + ". Must be 'mad', 'iqr', or 'qn'");
}

Result<LocationPolicy> parse_location_policy(std::string_view location, std::string_view scale,
                                             bool mad_consistent, double c, double trim, uint64_t max_iter,
                                             double tol) {
    using Tag = LocationPolicy::Tag;
    if (location == "median") return LocationPolicy{Tag::Median, ScalePolicy::MadConsistent, 0.0, 0, 0.0};
    if (location == "trimmed_mean")
        return LocationPolicy{Tag::TrimmedMean, ScalePolicy::MadConsistent, trim, 0, 0.0};
    if (location == "huber") {
        MS_TRY(s, parse_scale_policy(scale, mad_consistent));
        return LocationPolicy{Tag::Huber, s, c, max_iter, tol};
    }
    return value_error("Invalid location: " + std::string(location) +
                       ". Must be 'median', 'trimmed_mean', or 'huber'");
}

Result<RobustConfig> parse_config(std::string_view location, std::string_view scale, bool mad_consistent, double c,
                                  double trim, uint64_t max_iter, double tol) {
    MS_TRY(loc, parse_location_policy(location, scale, mad_consistent, c, trim, max_iter, tol));
    MS_TRY(sc, parse_scale_policy(scale, mad_consistent));
    return RobustConfig{loc, sc};
}

double compute_scale(std::span<const double> x, ScalePolicy p) {
    switch (p) {
        case ScalePolicy::Mad:
        case ScalePolicy::MadConsistent: return mad_scaled(median_mad(x).mad, p);
        case ScalePolicy::Iqr: return iqr_slice(x);
        case ScalePolicy::Qn: return qn_scale_slice(x);
    }
    return kNaN;
}

Fit median_and_scale(std::span<const double> x, ScalePolicy p) {
    if (is_mad(p)) {
        const MedianMad mm = median_mad(x);
        return {mm.median, mad_scaled(mm.mad, p)};
    }
    return {median_of(x), compute_scale(x, p)};
}

double huber_from(std::span<const double> x, double mu, double s, const LocationPolicy& p) noexcept {
    if (p.max_iter == 0 || s == 0.0 || !std::isfinite(s)) return mu;
    return huber_iterate(x, mu, s, p.param, p.tol * s, p.max_iter);
}

double compute_location(std::span<const double> x, const LocationPolicy& p) {
    switch (p.tag) {
        case LocationPolicy::Tag::Median: return median_of(x);
        case LocationPolicy::Tag::TrimmedMean: return trimmed_mean_slice(x, p.param);
        case LocationPolicy::Tag::Huber: {
            const Fit start = median_and_scale(x, p.huber_scale);
            return huber_from(x, start.location, start.scale, p);
        }
    }
    return kNaN;
}

Fit robust_fit_slice(std::span<const double> x, const RobustConfig& cfg) {
    if (x.empty()) return {kNaN, kNaN};
    const LocationPolicy& loc = cfg.location;
    if (loc.tag == LocationPolicy::Tag::Median) return median_and_scale(x, cfg.scale);
    if (loc.tag == LocationPolicy::Tag::Huber && loc.huber_scale == cfg.scale) {
        const Fit start = median_and_scale(x, cfg.scale);
        return {huber_from(x, start.location, start.scale, loc), start.scale};
    }
    return {compute_location(x, loc), compute_scale(x, cfg.scale)};
}

Buf<double> robust_score_slice(std::span<const double> x, const RobustConfig& cfg) {
    const size_t n = x.size();
    if (n == 0) return Buf<double>(1, kNaN);
    const Fit f = robust_fit_slice(x, cfg);
    if (f.scale == 0.0 || !std::isfinite(f.scale)) return Buf<double>(n, kNaN);
    Buf<double> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (x[i] - f.location) / f.scale;
    return out;
}

// ------------------------------------------------------- rolling median

namespace {

// Median of w >= 1 values from their ascending total-order keys: the middle
// value, or (upper + lower) * 0.5 for even w, as the selection gives it.
double median_of_keys(const uint64_t* s, size_t w) noexcept {
    const size_t m = w / 2;
    const double upper = core::from_total_order_key(s[m]);
    return w % 2 ? upper : (upper + core::from_total_order_key(s[m - 1])) * 0.5;
}

// Short windows: the window as its w keys in ascending order. Each step
// finds the leaving key by a branch-free count and shifts the keys between
// its place and the entering key's place by one.
void rolling_median_short(std::span<const double> x, size_t w, double* out) {
    const size_t n = x.size();
    Buf<uint64_t> s(w);
    uint64_t* k = s.data();
    for (size_t i = 0; i < w; ++i) k[i] = core::total_order_key(x[i]);
    std::sort(k, k + w);
    size_t nans = 0;
    for (size_t i = 0; i < w; ++i) nans += std::isnan(x[i]);
    out[w - 1] = nans ? kNaN : median_of_keys(k, w);
    for (size_t i = w; i < n; ++i) {
        const double in = x[i], gone = x[i - w];
        nans += std::isnan(in);
        nans -= std::isnan(gone);
        const uint64_t kin = core::total_order_key(in), kout = core::total_order_key(gone);
        size_t j = 0;
        for (size_t q = 0; q < w; ++q) j += k[q] < kout;
        // kout is among the keys unless the caller's values changed since
        // they were read: then j may be w, one past the keys.
        j = std::min(j, w - 1);
        if (kin > kout) {
            for (; j + 1 < w && k[j + 1] < kin; ++j) k[j] = k[j + 1];
        } else {
            for (; j > 0 && k[j - 1] > kin; --j) k[j] = k[j - 1];
        }
        k[j] = kin;
        out[i] = nans ? kNaN : median_of_keys(k, w);
    }
}

// A set of integers in [0, n) as a tree of 64-bit words: bit i of a word of
// level L + 1 says whether word i of level L holds any member, so the next
// or previous member is found in O(log64 n) word reads.
class RankSet {
public:
    static constexpr size_t npos = ~size_t{0};

    explicit RankSet(size_t n) {
        size_t bits = n;
        do {
            size_t words = (bits + 63) / 64;
            levels_[depth_++] = Buf<uint64_t>::zeros(words);
            bits = words;
        } while (bits > 1);
    }
    void insert(size_t i) noexcept {
        for (size_t l = 0; l < depth_; ++l, i >>= 6) {
            uint64_t& w = levels_[l][i >> 6];
            const bool was_empty = w == 0;
            w |= uint64_t{1} << (i & 63);
            if (!was_empty) return;
        }
    }
    void erase(size_t i) noexcept {
        for (size_t l = 0; l < depth_; ++l, i >>= 6) {
            uint64_t& w = levels_[l][i >> 6];
            w &= ~(uint64_t{1} << (i & 63));
            if (w) return;
        }
    }
    // The smallest member above i.
    size_t next(size_t i) const noexcept {
        size_t l = 0;
        for (;; ++l, i >>= 6) {
            if (l == depth_) return npos;
            const uint64_t w = levels_[l][i >> 6] & (~uint64_t{1} << (i & 63));
            if (w) {
                i = (i & ~size_t{63}) | static_cast<size_t>(std::countr_zero(w));
                break;
            }
        }
        for (; l > 0; --l) i = i * 64 + static_cast<size_t>(std::countr_zero(levels_[l - 1][i]));
        return i;
    }
    // The largest member below i.
    size_t prev(size_t i) const noexcept {
        size_t l = 0;
        for (;; ++l, i >>= 6) {
            if (l == depth_) return npos;
            const uint64_t w = levels_[l][i >> 6] & ((uint64_t{1} << (i & 63)) - 1);
            if (w) {
                i = (i & ~size_t{63}) | static_cast<size_t>(63 - std::countl_zero(w));
                break;
            }
        }
        for (; l > 0; --l) i = i * 64 + static_cast<size_t>(63 - std::countl_zero(levels_[l - 1][i]));
        return i;
    }

private:
    Buf<uint64_t> levels_[11];  // 64^11 > 2^64
    size_t depth_ = 0;
};

// Long windows: the values of a stretch of the series get their ranks once
// (ties broken by position) and the window is the set of its ranks. The
// middle rank moves by at most one member per step, so it is followed rather
// than searched for; each step costs a few word operations whatever the
// window length. Stretches of a bounded length keep the memory small and in
// cache; each re-reads the w - 1 values before its first full window.
template <class Index>
void rolling_median_ranked_stretch(std::span<const double> seg, size_t w, double* out, Index* rank, double* sorted,
                                   RankSet& set) {
    const size_t len = seg.size();
    {
        Buf<Index> order(len);
        core::stable_order_total(seg, order.data());
        for (size_t r = 0; r < len; ++r) {
            rank[order[r]] = static_cast<Index>(r);
            sorted[r] = seg[order[r]];
        }
    }
    size_t nans = 0;
    for (size_t i = 0; i < w; ++i) {
        set.insert(rank[i]);
        nans += std::isnan(seg[i]);
    }
    // mid: the member at position w / 2 of the window's ranks.
    size_t mid;
    {
        Buf<Index> first = Buf<Index>::from(std::span<const Index>(rank, w));
        std::nth_element(first.begin(), first.begin() + w / 2, first.end());
        mid = first[w / 2];
    }
    auto emit = [&](size_t i) {
        const double upper = sorted[mid];
        out[i] = nans ? kNaN : (w % 2 ? upper : (upper + sorted[set.prev(mid)]) * 0.5);
    };
    emit(w - 1);
    for (size_t i = w; i < len; ++i) {
        const size_t in = rank[i], gone = rank[i - w];
        nans += std::isnan(seg[i]);
        nans -= std::isnan(seg[i - w]);
        set.insert(in);
        int shift = in < mid;  // positions mid has moved up by
        if (gone == mid) {
            // mid leaves: the member now at position w / 2 is its neighbour.
            mid = shift ? set.prev(mid) : set.next(mid);
            shift = 0;
        } else if (gone < mid) {
            --shift;
        }
        set.erase(gone);
        if (shift > 0)
            mid = set.prev(mid);
        else if (shift < 0)
            mid = set.next(mid);
        emit(i);
    }
    for (size_t i = len - w; i < len; ++i) set.erase(rank[i]);  // empty again for the next stretch
}

template <class Index>
void rolling_median_ranked(std::span<const double> x, size_t w, double* out, size_t outputs_per_stretch) {
    const size_t outputs = x.size() - w + 1;
    const size_t stretches = (outputs + outputs_per_stretch - 1) / outputs_per_stretch;
    const size_t per = (outputs + stretches - 1) / stretches;  // evened out
    const size_t cap = per + w - 1;
    Buf<Index> rank(cap);
    Buf<double> sorted(cap);
    RankSet set(cap);
    for (size_t a = w - 1; a < x.size(); a += per) {
        const size_t b = std::min(x.size(), a + per), lo = a - (w - 1);
        rolling_median_ranked_stretch<Index>(x.subspan(lo, b - lo), w, out + lo, rank.data(), sorted.data(), set);
    }
}

// Above this window length following the middle rank beats shifting the
// sorted keys.
constexpr size_t kShortWindow = 32;
// Outputs per stretch of the ranked form, at the least.
constexpr size_t kStretchOutputs = size_t{1} << 15;

}  // namespace

void rolling_median_into(std::span<const double> x, size_t w, double* out) {
    const size_t n = x.size();
    const size_t first = (w == 0 || w > n) ? n : w - 1;
    for (size_t i = 0; i < first; ++i) out[i] = kNaN;
    if (first == n) return;
    if (w == 1) {
        for (size_t i = 0; i < n; ++i) out[i] = std::isnan(x[i]) ? kNaN : x[i];
    } else if (w <= kShortWindow) {
        rolling_median_short(x, w, out);
    } else {
        // Each stretch ends at least 4w outputs on, so re-read values stay a
        // small share.
        const size_t per = std::max(kStretchOutputs, 4 * w);
        if (per + w <= UINT32_MAX)
            rolling_median_ranked<uint32_t>(x, w, out, per);
        else
            rolling_median_ranked<uint64_t>(x, w, out, per);
    }
}

}  // namespace ms::kernels::robust
