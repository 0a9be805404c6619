#include "kernels/resampling/permutation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "core/unit.hpp"
#include "kernels/resampling/pcg64.hpp"
#include "kernels/resampling/replicate.hpp"

namespace ms::kernels::resampling {
namespace {

enum class Tail { TwoSided, Less, Greater };

// Byte for byte: a misspelt alternative would otherwise count nothing and
// report the smallest p-value possible.
Result<Tail> tail_of(std::string_view alternative) {
    if (alternative == "two-sided") return Tail::TwoSided;
    if (alternative == "less") return Tail::Less;
    if (alternative == "greater") return Tail::Greater;
    return value_error("alternative must be one of: 'two-sided', 'less', 'greater'");
}

// A permuted statistic recomputed in another order of additions lands a few
// ulps off the observed one even where the two are equal in exact
// arithmetic; it counts as reaching it within this many ulps of the observed
// value (else a tie would count as a miss and halve the smallest p-values).
constexpr double kTieUlps = 256.0;

bool extreme(Tail tail, double t, double obs, double tol) noexcept {
    switch (tail) {
        case Tail::TwoSided: return std::fabs(t) >= std::fabs(obs) - tol;
        case Tail::Less: return t <= obs + tol;
        case Tail::Greater: return t >= obs - tol;
    }
    return false;
}

// Permutation i of `data` (the caller's order, then shuffled by replicate
// i's generator) is handed to stat; p from the count of extreme statistics.
// The statistics are kept per replicate so every count is exact.
template <class Stat>
double permutation_p(std::span<const double> first, std::span<const double> second, size_t B, uint64_t seed,
                     Tail tail, double obs, Stat&& stat) {
    const size_t N = first.size() + second.size();
    size_t pair_len, cost;
    if (__builtin_mul_overflow(N, size_t{2}, &pair_len)) throw std::bad_alloc();
    if (__builtin_mul_overflow(N, size_t{2}, &cost)) cost = SIZE_MAX;
    Buf<double> t(B);
    auto fill = [&](double* v) {
        std::copy(first.begin(), first.end(), v);
        std::copy(second.begin(), second.end(), v + first.size());
    };
    // Two permutations side by side: their generator chains are independent,
    // so interleaving them hides the latency of each draw.
    parallel_pieces((B + 1) / 2, pair_len, cost, [&](size_t lo, size_t hi, double* scratch) {
        double* v0 = scratch;
        double* v1 = scratch + N;
        for (size_t q = lo; q < hi; ++q) {
            const size_t i = 2 * q;
            Pcg64 g0 = Pcg64::seeded(replicate_seed(seed, i));
            fill(v0);
            if (i + 1 == B) {
                g0.shuffle({v0, N});
                t[i] = stat(v0);
                continue;
            }
            Pcg64 g1 = Pcg64::seeded(replicate_seed(seed, i + 1));
            fill(v1);
            for (size_t j = N; j-- > 1;) {
                const size_t k0 = g0.below(j + 1), k1 = g1.below(j + 1);
                std::swap(v0[j], v0[k0]);
                std::swap(v1[j], v1[k1]);
            }
            t[i] = stat(v0);
            t[i + 1] = stat(v1);
        }
    });
    const double tol = kTieUlps * std::numeric_limits<double>::epsilon() * std::fabs(obs);
    uint64_t count = 0;
    for (double a : t) count += extreme(tail, a, obs, tol);
    return (static_cast<double>(count) + 1.0) / (static_cast<double>(B) + 1.0);
}

}  // namespace

Result<PermutationTest> permutation_corr_test(std::span<const double> x, std::span<const double> y, size_t B,
                                              std::string_view alternative, uint64_t seed) {
    const size_t n = x.size();
    if (B == 0 || n == 0 || y.size() != n) return PermutationTest{kNaN, kNaN};
    MS_TRY(tail, tail_of(alternative));
    // Shifted once here: the permutations shuffle the deviations of x.
    const Buf<double> dx = deviations(x), dy = deviations(y);
    const double dn = static_cast<double>(n);
    double sy = 0.0, syy = 0.0;
    for (size_t k = 0; k < n; ++k) {
        sy += dy[k];
        syy += dy[k] * dy[k];
    }
    const double my = sy / dn, vy = syy / dn - my * my;
    if (!(vy > 0.0)) return PermutationTest{kNaN, kNaN};
    // Population moments of v against y in one pass; NaN without spread in
    // v. The observed value comes from the same loop as every permuted one,
    // so a permutation that restores x ties with it to the bit.
    auto corr = [&](const double* v) {
        double s = 0.0, ss = 0.0, sp = 0.0;
        for (size_t k = 0; k < n; ++k) {
            s += v[k];
            ss += v[k] * v[k];
            sp += v[k] * dy[k];
        }
        const double m = s / dn;
        const double vv = ss / dn - m * m;
        if (!(vv > 0.0)) return kNaN;
        return (sp / dn - m * my) / ms::core::sqrt_product(vy, vv);
    };
    const double r0 = corr(dx.data());
    if (!std::isfinite(r0)) return PermutationTest{r0, kNaN};
    const double r = std::clamp(r0, -1.0, 1.0);  // rounding may carry a perfect line past 1
    const double p = permutation_p({dx.data(), n}, {}, B, seed, tail, r, [&](const double* v) {
        const double t = corr(v);
        return std::isfinite(t) ? t : kNaN;  // counts for no alternative
    });
    return PermutationTest{r, p};
}

Result<PermutationTest> permutation_mean_diff_test(std::span<const double> x, std::span<const double> y, size_t B,
                                                   std::string_view alternative, uint64_t seed) {
    const size_t nx = x.size(), ny = y.size();
    if (B == 0 || nx == 0 || ny == 0) return PermutationTest{kNaN, kNaN};
    MS_TRY(tail, tail_of(alternative));
    // Both samples in one unit: their values are pooled.
    const core::Unit u = core::unit_beyond_range({x, y});
    const core::InUnit ux(x, u), uy(y, u);
    const double dx = static_cast<double>(nx), dy = static_cast<double>(ny);
    const double obs = core::sum(ux.span()) / dx - core::sum(uy.span()) / dy;
    // No permuted statistic compares with NaN: the count would be 0 and p
    // the smallest possible, a failure dressed as a finding.
    if (std::isnan(obs)) return PermutationTest{kNaN, kNaN};
    const double p = permutation_p(ux.span(), uy.span(), B, seed, tail, obs, [&](const double* v) {
        return core::sum({v, nx}) / dx - core::sum({v + nx, ny}) / dy;
    });
    return PermutationTest{core::unscale(obs, u, 1), p};
}

}  // namespace ms::kernels::resampling
