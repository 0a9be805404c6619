#include "kernels/descriptive/skipna.hpp"

#include <cmath>
#include <type_traits>

#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/unit.hpp"
#include "kernels/descriptive/moments.hpp"

namespace ms::kernels::descriptive {
namespace {

struct SkipSum {
    double sum;
    size_t count;
    double big;  // the largest magnitude, when asked for
};

struct Identity {
    double operator()(double v) const noexcept { return v; }
};

// Left-to-right sum from 0.0 of term(v) over the non-NaN v, counting them. A
// NaN slot contributes -0.0, which leaves every double unchanged, so the
// result is exactly that of the skipping loop. Terms are formed a short block
// at a time in a branch-free loop the compiler vectorises, then added in
// order; the out-of-order core overlaps the next block's terms (and their
// magnitudes) with this block's chain of additions, and scattered NaN cause
// no mispredictions.
//
// Inlined into each user, so that one which needs only the sum drops the
// count, and the additions of a full block unroll.
template <bool Magnitude, class Term>
[[gnu::always_inline]] inline SkipSum sum_kept(std::span<const double> x, Term term) noexcept {
    constexpr size_t B = 2 * core::Magnitudes<false, 1>::kBlock;
    double t[B];
    double s = 0.0;
    size_t k = 0, n = x.size();
    core::Magnitudes<false, 1> big;
    for (size_t i0 = 0; i0 < n; i0 += B) {
        size_t m = n - i0 < B ? n - i0 : B;
        const double* p = x.data() + i0;
        if constexpr (std::is_same_v<Term, Identity>) {
            for (size_t j = 0; j < m; ++j) t[j] = p[j] == p[j] ? p[j] : -0.0;
        } else {
            // Terms first, unconditionally: a select over a term computed in
            // the same loop is compiled into a branch.
            for (size_t j = 0; j < m; ++j) t[j] = term(p[j]);
            for (size_t j = 0; j < m; ++j) t[j] = p[j] == p[j] ? t[j] : -0.0;
        }
        if constexpr (Magnitude) {
            for (size_t j = m; j < B; ++j) t[j] = 0.0;  // a short last block, padded
            big.fold(t);
            big.fold(t + B / 2);
        }
        for (size_t j = 0; j < m; ++j) {
            s += t[j];
            k += p[j] == p[j];
        }
    }
    return {s, k, Magnitude ? big.largest() : 0.0};
}

SkipSum sum_skipna(std::span<const double> x) noexcept { return sum_kept<false>(x, Identity{}); }

double sum_sq_dev_skipna(std::span<const double> x, double m) noexcept {
    return sum_kept<false>(x, [m](double v) { return (v - m) * (v - m); }).sum;
}

// True when the non-NaN values are all equal (none or one too).
bool kept_all_equal(std::span<const double> x) noexcept {
    size_t i = 0, n = x.size();
    while (i < n && x[i] != x[i]) ++i;
    if (i == n) return true;
    const double v = x[i];
    for (; i < n; ++i)
        if (x[i] == x[i] && !(x[i] == v)) return false;
    return true;
}

// Not inlined: a caller that may allocate afterwards would keep the running
// sum in memory (see core::sum_and_magnitude).
[[gnu::noinline]] SkipSum sum_kept_magnitude(std::span<const double> x) noexcept {
    return sum_kept<true>(x, Identity{});
}

// The non-NaN values as the moments read them: in their unit beyond the
// plain range (NaN kept in place), with their sum and count.
struct KeptSumPass {
    SkipSum operator()(std::span<const double> x) const noexcept { return sum_kept_magnitude(x); }
};
using KeptSample = core::InUnitPass<KeptSumPass>;

struct MeanVar {
    double mean, var;
};

// Mean and sample variance (divisor k - 1) of the k non-NaN values, in the
// sample's unit; the variance is NaN when k < 2.
MeanVar mean_var_kept(const KeptSample& s) noexcept {
    const SkipSum& t = s.summary();
    if (t.count == 0) return {kNaN, kNaN};
    double m = t.sum / static_cast<double>(t.count);
    if (t.count < 2) return {m, kNaN};
    double v = sum_sq_dev_skipna(s.span(), m) / static_cast<double>(t.count - 1);
    // equal values whose rounded mean is inexact: no spread (see rounding_only)
    if (v > 0.0 && core::spread_within_rounding(v, m, t.count) && kept_all_equal(s.span())) v = 0.0;
    return {m, v};
}

// One pass in index order over the non-NaN values: running mean mu and sum of
// squared deviations M, and the largest magnitude.
struct WelfordPass {
    double mu, M;
    uint64_t k;
    double big;
};

WelfordPass welford_pass(std::span<const double> x) noexcept {
    uint64_t k = 0;
    double mu = 0.0, M = 0.0, big = 0.0;
    for (double v : x) {
        if (std::isnan(v)) continue;
        ++k;
        double d = v - mu;
        mu += d / static_cast<double>(k);
        M += d * (v - mu);
        big = std::fabs(v) > big ? std::fabs(v) : big;
    }
    return {mu, M, k, big};
}

}  // namespace

double mean_skipna(std::span<const double> x) noexcept {
    SkipSum t = sum_skipna(x);
    return t.count == 0 ? kNaN : t.sum / static_cast<double>(t.count);
}

double var_skipna(std::span<const double> x) {
    const KeptSample s(x, {});
    return core::unscale(mean_var_kept(s).var, s.unit(), 2);
}

double stddev_skipna(std::span<const double> x) {
    const KeptSample s(x, {});
    return core::unscale(std::sqrt(mean_var_kept(s).var), s.unit(), 1);
}

void zscore_skipna(std::span<const double> x, double* out) {
    const KeptSample s(x, {});
    MeanVar mv = mean_var_kept(s);
    standardize(s.span(), mv.mean, std::sqrt(mv.var), out);
}

Welford welford(std::span<const double> x) {
    const core::InUnitPass s(x, welford_pass);
    const WelfordPass& w = s.summary();
    const double mu = core::unscale(w.mu, s.unit(), 1);
    if (w.k == 0) return {kNaN, kNaN, 0};
    if (w.k == 1) return {mu, kNaN, 1};
    return {mu, core::unscale(w.M / (static_cast<double>(w.k) - 1.0), s.unit(), 2), w.k};
}

}  // namespace ms::kernels::descriptive
