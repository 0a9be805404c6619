#include "kernels/resampling/jackknife.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "core/constants.hpp"
#include "core/sums.hpp"
#include "kernels/resampling/in_unit.hpp"
#include "kernels/resampling/replicate.hpp"

namespace ms::kernels::resampling {
namespace {

constexpr JackknifeResult kNaNResult{kNaN, kNaN, kNaN};

// Mean of v and the sum of squared deviations from it (two passes).
struct Spread {
    double mean, ss;
};
Spread spread(std::span<const double> v) noexcept {
    const double m = core::sum(v) / static_cast<double>(v.size());
    return {m, core::sum_sq_dev(v, m)};
}

// Leave-one-out means, each from the total by subtraction.
Buf<double> leave_one_out(std::span<const double> x, double S) {
    const double dm = static_cast<double>(x.size() - 1);
    Buf<double> t(x.size());
    for (size_t i = 0; i < x.size(); ++i) t[i] = (S - x[i]) / dm;
    return t;
}

// The jackknife combination of m subsample values around the full mean.
JackknifeResult combine(std::span<const double> theta, double xbar) noexcept {
    const double m = static_cast<double>(theta.size());
    const Spread s = spread(theta);
    const double est = xbar * m - (m - 1.0) * s.mean;
    return {est, est - xbar, std::sqrt(((m - 1.0) / m) * s.ss)};
}

}  // namespace

// In each estimator, values that are all one number sit at that number, and
// so does every leave-one-out mean, with no spread, bias or influence: their
// rounded sum would set each mean off by a few ulps, as if they were spread.
Buf<double> influence_mean(std::span<const double> x) {
    const size_t n = x.size();
    if (n < 2) return Buf<double>(0);
    return in_unit(x, [n](std::span<const double> v) {
        if (one_value(v)) return Buf<double>::zeros(n);
        const double S = core::sum(v), dn = static_cast<double>(n);
        const double xbar = S / dn;
        Buf<double> t = leave_one_out(v, S);
        for (double& a : t) a = (dn - 1.0) * (xbar - a);
        return t;
    });
}

JackknifeResult jackknife_mean(std::span<const double> x) {
    if (x.size() < 2) return kNaNResult;
    return in_unit(x, [](std::span<const double> v) {
        if (one_value(v)) return JackknifeResult{v[0], 0.0, 0.0};
        const double S = core::sum(v);
        Buf<double> t = leave_one_out(v, S);
        return combine(t.span(), S / static_cast<double>(v.size()));
    });
}

JackknifeResult jackknife_mean_ci(std::span<const double> x, double conf) {
    if (x.size() < 2) return kNaNResult;
    return in_unit(x, [conf](std::span<const double> v) {
        if (one_value(v)) return JackknifeResult{v[0], v[0], v[0]};
        const double S = core::sum(v);
        Buf<double> t = leave_one_out(v, S);
        const double est = combine(t.span(), S / static_cast<double>(v.size())).estimate;
        // Only two order statistics are read: select them unless NaN forces the sort.
        const Positions p = floor_index_positions(t.size(), conf);
        Buf<double> tmp(t.size());
        double lower, upper;
        if (!select_as_sorted(t.data(), t.size(), p.lower, p.upper, tmp.data(), lower, upper)) {
            draw_sort(t.span(), tmp.data());
            lower = t[p.lower];
            upper = t[p.upper];
        }
        return JackknifeResult{est, lower, upper};
    });
}

JackknifeResult delete_d_jackknife_mean(std::span<const double> x, size_t d) {
    const size_t n = x.size();
    if (d == 0 || n < 3 || d >= n - 1) return kNaNResult;
    return in_unit(x, [n, d](std::span<const double> v) {
        if (one_value(v)) return JackknifeResult{v[0], 0.0, 0.0};
        const double S = core::sum(v);
        const size_t g = (n + d - 1) / d;  // d < n - 1, so this cannot wrap
        Buf<double> theta(g);
        size_t m = 0;
        for (size_t b = 0; b < g; ++b) {
            const size_t lo = b * d, hi = std::min(n, lo + d);
            const double t = (S - core::sum(v.subspan(lo, hi - lo))) / static_cast<double>(n - (hi - lo));
            if (std::isfinite(t)) theta[m++] = t;
        }
        if (m == 0) return kNaNResult;
        return combine({theta.data(), m}, S / static_cast<double>(n));
    });
}

namespace {

double jab_in_unit(std::span<const double> x, size_t B, uint64_t seed) {
    const size_t n = x.size();
    const size_t m = n - 1;
    // Two left-out values side by side (independent generator chains hide
    // each other's latency); each has a subsample and B means of scratch.
    size_t one, two, draws;
    if (__builtin_add_overflow(m, B, &one) || __builtin_mul_overflow(one, size_t{2}, &two)) throw std::bad_alloc();
    if (__builtin_mul_overflow(m, B, &draws) || __builtin_mul_overflow(draws, size_t{2}, &draws)) draws = SIZE_MAX;
    const double dm = static_cast<double>(m);
    const double divisor = static_cast<double>(B > 1 ? B - 1 : 1);
    Buf<double> se(n);
    auto subsample = [&](size_t i, double* sub) {
        std::copy(x.begin(), x.begin() + static_cast<ptrdiff_t>(i), sub);
        std::copy(x.begin() + static_cast<ptrdiff_t>(i) + 1, x.end(), sub + i);
    };
    // Bootstrap means of a subsample of one value are all one number: no SE.
    auto se_of = [&](const double* means) {
        const double M = core::sum({means, B}) / static_cast<double>(B);
        return std::sqrt(ss_about({means, B}, M) / divisor);
    };
    parallel_pieces((n + 1) / 2, two, draws, [&](size_t lo, size_t hi, double* buf) {
        double* sub0 = buf;
        double* means0 = buf + m;
        double* sub1 = buf + one;
        double* means1 = sub1 + m;
        for (size_t q = lo; q < hi; ++q) {
            const size_t i = 2 * q;
            subsample(i, sub0);
            Pcg64 g0 = Pcg64::seeded(replicate_seed(seed, i));
            if (i + 1 == n) {
                for (size_t b = 0; b < B; ++b) {
                    double s0 = 0.0;
                    for (size_t k = 0; k < m; ++k) s0 += sub0[g0.below(m)];
                    means0[b] = s0 / dm;
                }
                se[i] = se_of(means0);
                continue;
            }
            subsample(i + 1, sub1);
            Pcg64 g1 = Pcg64::seeded(replicate_seed(seed, i + 1));
            for (size_t b = 0; b < B; ++b) {
                double s0 = 0.0, s1 = 0.0;
                for (size_t k = 0; k < m; ++k) {
                    const size_t j0 = g0.below(m), j1 = g1.below(m);
                    s0 += sub0[j0];
                    s1 += sub1[j1];
                }
                means0[b] = s0 / dm;
                means1[b] = s1 / dm;
            }
            se[i] = se_of(means0);
            se[i + 1] = se_of(means1);
        }
    });
    const double dn = static_cast<double>(n);
    return std::sqrt(((dn - 1.0) / dn) * spread(se.span()).ss);
}

}  // namespace

double jackknife_after_bootstrap_se_mean(std::span<const double> x, size_t B, uint64_t seed) {
    if (B == 0 || x.size() <= 2) return kNaN;
    return in_unit(x, [&](std::span<const double> v) { return jab_in_unit(v, B, seed); });
}

}  // namespace ms::kernels::resampling
