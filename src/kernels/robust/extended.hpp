// Robust location and scale kernels: median, MAD, the interquartile width,
// Qn, trimmed and winsorized means, and the Huber iteration. None raises:
// invalid parameters and degenerate data give NaN. Sums run left to right in
// the order stated with plain additions; that order fixes the last bits.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "core/result.hpp"
#include "kernels/descriptive/moments.hpp"
#include "kernels/quantile/iqr.hpp"
#include "kernels/quantile/radix.hpp"
#include "kernels/quantile/select.hpp"
#include "core/constants.hpp"

namespace ms::kernels::robust {

using quantile::has_nan;

// Scale factor that makes the MAD consistent for the normal distribution.
inline constexpr double kMadNormal = 1.482602218505602;

// The values whose magnitude is finite (NaN and both infinities dropped), in
// input order.
inline Buf<double> finite_values(std::span<const double> x) {
    Buf<double> out(x.size());
    size_t m = 0;
    for (double v : x)
        if (std::isfinite(v)) out[m++] = v;
    out.resize(m);
    return out;
}

// Median of n >= 1 values from pick(k, with_next), which returns the order
// statistics of ranks k and k + 1.
template <class Pick>
double median_by(size_t n, Pick pick) {
    if (n % 2) return pick(n / 2, false).at;
    quantile::RankPair p = pick(n / 2 - 1, true);
    // Written as upper + lower: an overflowing sum gives an infinity and
    // -inf with +inf gives NaN.
    return (p.next + p.at) * 0.5;
}

// Median of a buffer (permuted); NaN when empty or holding a NaN, in which
// case nothing is moved.
inline double median_inplace(std::span<double> buf) {
    if (buf.empty() || has_nan(buf)) return kNaN;
    return median_by(buf.size(), [&](size_t k, bool next) { return quantile::select_pair(buf, k, next); });
}

// Median of n >= 1 NaN-free values given by get(i), left in place; kb is their scan.
template <class Get>
double median_scanned(size_t n, Get get, const quantile::KeyBounds& kb) {
    return median_by(n, [&](size_t k, bool next) { return quantile::order_pair(n, get, k, next, kb); });
}

// Median of a read-only slice; NaN when empty or holding a NaN.
inline double median_of(std::span<const double> x) {
    if (x.empty()) return kNaN;
    const quantile::KeyBounds kb = quantile::scan_keys(x.size(), quantile::at(x));
    return kb.nan ? kNaN : median_scanned(x.size(), quantile::at(x), kb);
}

struct MedianMad {
    double median, mad;
};

// Median and raw MAD (the median of |v - median|) of n >= 1 values, by
// selection; the deviations are computed as they are read, never stored.
// Any NaN gives NaN for both; infinities can make the MAD NaN.
inline MedianMad median_mad(std::span<const double> x) {
    const size_t n = x.size();
    const quantile::KeyBounds kb = quantile::scan_keys(n, quantile::at(x));
    if (kb.nan) return {kNaN, kNaN};
    const double m = median_scanned(n, quantile::at(x), kb);
    auto dev = [x, m](size_t i) { return std::fabs(x[i] - m); };
    const quantile::KeyBounds kd = quantile::scan_keys(n, dev);
    return {m, kd.nan ? kNaN : median_scanned(n, dev, kd)};
}

// q3 - q1; NaN below two values or with any NaN.
inline double iqr_slice(std::span<const double> x) { return x.size() < 2 ? kNaN : quantile::iqr_slice(x).iqr; }

// ------------------------------------------------------------------- Qn

// n(n - 1) / 2 without overflowing the product.
inline uint64_t pair_count(uint64_t n) noexcept { return n % 2 == 0 ? (n / 2) * (n - 1) : n * ((n - 1) / 2); }

// Pairs i < j of the ascending values y whose difference y[j] - y[i], as
// computed, is at most t. The computed difference never rises as i grows and
// never falls as j grows (rounding is monotone), so the first i within t only
// moves forward: one linear pass.
inline uint64_t pairs_within(std::span<const double> y, double t) noexcept {
    uint64_t count = 0;
    size_t i = 0;
    for (size_t j = 1; j < y.size(); ++j) {
        while (y[j] - y[i] > t) ++i;
        count += j - i;
    }
    return count;
}

// Appends the differences d with below < d <= upto, by the same two-pointer walk.
inline void pairs_between(std::span<const double> y, double below, double upto, Buf<double>& out) {
    size_t a = 0, b = 0;
    for (size_t j = 1; j < y.size(); ++j) {
        while (y[j] - y[a] > upto) ++a;
        b = std::max(b, a);
        while (b < j && y[j] - y[b] > below) ++b;
        for (size_t i = a; i < b; ++i) out.push_back(y[j] - y[i]);
    }
}

// The k-th smallest (0-based) pairwise difference of ascending finite values,
// k < n(n - 1) / 2, without forming all pairs: a bisection over the bit
// patterns of the non-negative doubles (ordered like their values) counts the
// pairs at or below each candidate, until few enough pairs remain in the
// bracket to collect and select among. The result is exactly the value a
// selection over all pairs would give.
inline double kth_pair_difference(std::span<const double> y, uint64_t k) {
    constexpr uint64_t kInfBits = 0x7FF0000000000000ULL;
    auto value = [](uint64_t bits) { return std::bit_cast<double>(bits); };
    uint64_t lo = 0, hi = kInfBits;        // the answer's bits lie in [lo, hi]
    uint64_t below = 0;                    // pairs whose difference is below value(lo)
    uint64_t upto = pair_count(y.size());  // pairs at or below value(hi)
    const uint64_t budget = 2 * std::max<uint64_t>(y.size(), 4096);
    while (lo < hi && upto - below > budget) {
        uint64_t mid = lo + (hi - lo) / 2;
        uint64_t c = pairs_within(y, value(mid));
        if (c > k) {
            hi = mid;
            upto = c;
        } else {
            lo = mid + 1;
            below = c;
        }
    }
    if (lo == hi) return value(lo);
    Buf<double> cand;
    cand.reserve(upto - below);
    pairs_between(y, lo == 0 ? -1.0 : value(lo - 1), value(hi), cand);
    return quantile::select_pair(cand.span(), k - below, false).at;
}

// Qn scale: the pairwise absolute difference at 0-based index floor(m / 4)
// of the m = n(n - 1) / 2 pairs, times 2.2219 (n = 2: |x0 - x1| times
// 0.8224). NaN below two values or with any NaN. Equal infinities differ by
// NaN, which orders above every number.
inline double qn_scale_slice(std::span<const double> x) {
    const size_t n = x.size();
    if (n < 2 || has_nan(x)) return kNaN;
    if (n == 2) return std::fabs(x[0] - x[1]) * 0.8224;
    const uint64_t k = pair_count(n) >> 2;
    const Buf<double> s = quantile::sorted_copy(x);
    // The pair counts below assume no NaN; the copy is checked again because
    // the caller's values may have changed since the scan (NaN sorts to an end).
    if (std::isnan(s[0]) || std::isnan(s[n - 1])) return kNaN;
    size_t neg = 0, pos = 0;
    while (neg < n && s[neg] == -kInf) ++neg;
    while (pos < n - neg && s[n - 1 - pos] == kInf) ++pos;
    // Pairs of finite values come first, then every pair with an infinity
    // and a different value (+inf), then the pairs of equal infinities (NaN).
    const uint64_t fin = n - neg - pos;
    const uint64_t finite_pairs = pair_count(fin);
    double v;
    if (k < finite_pairs)
        v = kth_pair_difference(s.span().subspan(neg, fin), k);
    else if (k < finite_pairs + neg * fin + neg * pos + fin * pos)
        v = kInf;
    else
        v = kNaN;
    return v * 2.2219;
}

// ------------------------------------------------- trimmed and winsorized

inline bool valid_trim(double trim) noexcept { return std::isfinite(trim) && trim >= 0.0 && trim < 0.5; }

// Number cut from each end of n values, floor(trim * n) for a valid trim.
inline size_t cut_count(size_t n, double trim) noexcept {
    return static_cast<size_t>(trim * static_cast<double>(n));
}

// Trimmed mean of NaN-free values with a valid trim: the sum of the kept
// values of the sorted copy, ascending, over their count.
inline double trimmed_mean_nonan(std::span<const double> x, double trim) {
    const size_t n = x.size(), g = cut_count(n, trim);
    if (n <= 2 * g) return kNaN;
    const Buf<double> s = quantile::sorted_copy(x);
    return core::sum(s.span().subspan(g, n - 2 * g)) / static_cast<double>(n - 2 * g);
}

inline double trimmed_mean_slice(std::span<const double> x, double trim) {
    if (x.empty() || !valid_trim(trim) || has_nan(x)) return kNaN;
    return trimmed_mean_nonan(x, trim);
}

// Sample standard deviation (divisor k - 1) of the k values kept after
// cutting floor(trim * n) from each end of the sorted copy.
inline double trimmed_std_slice(std::span<const double> x, double trim) {
    if (x.empty() || !valid_trim(trim) || has_nan(x)) return kNaN;
    const size_t n = x.size(), g = cut_count(n, trim);
    if (n <= 2 * g || n - 2 * g < 2) return kNaN;
    const Buf<double> s = quantile::sorted_copy(x);
    return descriptive::stddev(s.span().subspan(g, n - 2 * g));
}

// Winsorized mean with bounds in percent: each value of the sorted copy is
// clamped to the interpolated values at the two percentiles. Percentages are
// clamped to [0, 100]; a NaN bound, lower >= upper or empty input give NaN.
inline double winsorized_mean_slice(std::span<const double> x, double lower, double upper) {
    if (!(lower < upper) || x.empty() || has_nan(x)) return kNaN;
    const Buf<double> buf = quantile::sorted_copy(x);
    const double n1 = static_cast<double>(buf.size() - 1);
    auto bound = [&](double p) {
        return quantile::sorted_quantile(buf.span(), (std::clamp(p, 0.0, 100.0) / 100.0) * n1);
    };
    const double lo = bound(lower), hi = bound(upper);
    double s = 0.0;
    for (double v : buf) s += v < lo ? lo : (v > hi ? hi : v);
    return s / static_cast<double>(buf.size());
}

// ------------------------------------------------------------------ Huber

// Huber M-estimate of location from the start mu with scale s, iterated by
// weighted steps: u = (x - mu) / s; psi = u and weight 1 within c, else
// c * sign(u) and weight c / |u|; step = s * sum(psi) / sum(weight). Stops
// when |step| < tol_abs or after max_iter steps (max_iter >= 1); a zero weight
// sum (possible only for c <= 0) returns the current mu.
//
// Each location is a function of the previous one alone, so once a location
// repeats (bit for bit) the sequence cycles and no later step can pass a test
// that the cycle's steps failed: only max_iter modulo the cycle length still
// matters. Near convergence with a tolerance of 0 (or one that cannot be met)
// rounding often settles into such a cycle, which would otherwise spin through
// a huge max_iter. Cycles are found with Brent's method (a location kept at
// every power-of-two step count), so the result is the one max_iter steps give.
inline double huber_iterate(std::span<const double> x, double mu, double s, double c, double tol_abs,
                            uint64_t max_iter) noexcept {
    uint64_t iterations = 0;
    uint64_t anchor = std::bit_cast<uint64_t>(mu), since_anchor = 0, power = 1;
    bool cycling = false;
    for (;;) {
        double psi_sum = 0.0, w_sum = 0.0;
        for (double v : x) {
            double u = (v - mu) / s;
            double au = std::fabs(u);
            if (au <= c) {
                psi_sum += u;
                w_sum += 1.0;
            } else {
                psi_sum += c * (std::isnan(u) ? u : std::copysign(1.0, u));
                w_sum += c / au;
            }
        }
        if (w_sum == 0.0) return mu;
        ++iterations;
        double step = (s * psi_sum) / w_sum;
        mu = mu + step;
        if (std::fabs(step) < tol_abs || iterations >= max_iter) return mu;
        if (std::isnan(mu)) return mu;  // NaN for good
        if (cycling) continue;
        ++since_anchor;
        if (std::bit_cast<uint64_t>(mu) == anchor) {
            // Period since_anchor: the last step lands where the full count would.
            const uint64_t left = (max_iter - iterations) % since_anchor;
            if (left == 0) return mu;
            max_iter = iterations + left;
            cycling = true;
        } else if (since_anchor == power) {
            anchor = std::bit_cast<uint64_t>(mu);
            since_anchor = 0;
            power *= 2;
        }
    }
}

}  // namespace ms::kernels::robust
