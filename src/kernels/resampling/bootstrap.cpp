#include "kernels/resampling/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "kernels/resampling/in_unit.hpp"
#include "kernels/resampling/replicate.hpp"

namespace ms::kernels::resampling {
namespace {

// Median of v (n values) as the draw sort would leave it; tmp: n doubles.
double median_of(double* v, size_t n, double* tmp) noexcept {
    const size_t mid = n / 2;
    double lo, hi;
    if (!select_as_sorted(v, n, n % 2 ? mid : mid - 1, mid, tmp, lo, hi)) {
        draw_sort({v, n}, tmp);
        lo = v[n % 2 ? mid : mid - 1];
        hi = v[mid];
    }
    return n % 2 ? hi : (lo + hi) * 0.5;
}

// Two passes; divisor n - 1.
double sample_std(const double* r, size_t n) noexcept {
    if (n < 2) return kNaN;
    const double m = core::sum({r, n}) / static_cast<double>(n);
    return std::sqrt(ss_about({r, n}, m) / static_cast<double>(n - 1));
}

// The resample statistics, as folds over the drawn indices (resample_map).

struct MeanFold {
    const double* x;
    size_t n;
    struct State {
        double s;
    };
    size_t scratch_len() const { return 0; }
    size_t weight() const { return 1; }
    State start(double*) const { return {0.0}; }
    void add(State& st, size_t j, size_t) const { st.s += x[j]; }
    double finish(State& st) const { return st.s / static_cast<double>(n); }
};

// Divisor n; a non-positive variance is 0.
double pop_std_from_sums(double S, double Q, size_t n) noexcept {
    const double dn = static_cast<double>(n);
    const double m = S / dn;
    const double var = Q / dn - m * m;
    return var <= 0.0 ? 0.0 : std::sqrt(var);
}
using PopStdFold = SumSqFold<pop_std_from_sums>;

// Statistics that need the whole resample: it is written to scratch (n
// doubles, plus n of working space for the median).
struct CollectFold {
    const double* x;
    size_t n;
    bool median;
    struct State {
        double* r;
    };
    size_t scratch_len() const { return median ? 2 * n : n; }
    size_t weight() const { return median ? 8 : 2; }  // the selection, or the second pass
    State start(double* scratch) const { return {scratch}; }
    void add(State& st, size_t j, size_t k) const { st.r[k] = x[j]; }
    double finish(State& st) const { return median ? median_of(st.r, n, st.r + n) : sample_std(st.r, n); }
};

// Pearson correlation of one paired resample; NaN when either side is
// constant (every drawn value equal) or has no positive variance.
struct CorrFold {
    const double* x;
    const double* y;
    size_t n;
    struct State {
        double sx, sy, sxx, syy, sxy, x0, y0;
        bool varies_x, varies_y;
    };
    size_t scratch_len() const { return 0; }
    size_t weight() const { return 1; }
    State start(double*) const { return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, false, false}; }
    void add(State& st, size_t j, size_t k) const {
        const double a = x[j], b = y[j];
        if (k == 0) {
            st.x0 = a;
            st.y0 = b;
        }
        st.varies_x |= a != st.x0;
        st.varies_y |= b != st.y0;
        st.sx += a;
        st.sy += b;
        st.sxx += a * a;
        st.syy += b * b;
        st.sxy += a * b;
    }
    double finish(State& st) const {
        const double dn = static_cast<double>(n);
        const double mx = st.sx / dn, my = st.sy / dn;
        const double var_y = st.syy / dn - my * my;
        const double var_x = st.sxx / dn - mx * mx;
        if (!st.varies_x || !st.varies_y || var_y <= 0.0 || var_x <= 0.0) return kNaN;
        return (st.sxy / dn - my * mx) / ms::core::sqrt_product(var_y, var_x);
    }
};

}  // namespace

std::optional<Stat> percentile_stat(std::string_view name) noexcept {
    if (name == "mean") return Stat::Mean;
    if (name == "median") return Stat::Median;
    if (name == "std") return Stat::PopStd;
    return std::nullopt;
}

std::optional<Stat> se_stat(std::string_view name) noexcept {
    return name == "std" ? Stat::SampleStd : percentile_stat(name);
}

Buf<double> bootstrap_draws(std::span<const double> x, Stat stat, size_t B, uint64_t seed) {
    const size_t n = x.size();
    Buf<double> out(B);
    switch (stat) {
        case Stat::Mean: resample_map(seed, B, n, MeanFold{x.data(), n}, out.data()); break;
        case Stat::PopStd:
            // Every resample of one value is that value again: no spread.
            if (one_value(x)) return Buf<double>::zeros(B);
            resample_map(seed, B, n, PopStdFold{x.data(), n}, out.data());
            break;
        case Stat::Median:
        case Stat::SampleStd:
            if (n > SIZE_MAX / 4) throw std::bad_alloc();  // scratch_len() must not wrap
            resample_map(seed, B, n, CollectFold{x.data(), n, stat == Stat::Median}, out.data());
            break;
    }
    return out;
}

Estimate percentile_ci_from_draws(std::span<double> draws, double conf) {
    const size_t B = draws.size();
    const double est = core::sum(draws) / static_cast<double>(B);
    const Positions p = floor_index_positions(B, conf);
    Buf<double> tmp(B);
    double lower, upper;
    if (!select_as_sorted(draws.data(), B, p.lower, p.upper, tmp.data(), lower, upper)) {
        draw_sort(draws, tmp.data());
        lower = draws[p.lower];
        upper = draws[p.upper];
    }
    return {est, lower, upper};
}

Estimate bootstrap_ci(std::span<const double> x, Stat stat, size_t B, double conf, uint64_t seed,
                      Buf<double>* draws) {
    const core::InUnit v(x);
    Buf<double> d = bootstrap_draws(v.span(), stat, B, seed);
    if (draws) {
        *draws = Buf<double>::from(d.span());
        scale_back(*draws, v.unit());
    }
    Estimate e = percentile_ci_from_draws(d.span(), conf);
    scale_back(e, v.unit());
    return e;
}

double bootstrap_mean(std::span<const double> x, size_t B, uint64_t seed) {
    if (x.empty() || B == 0) return kNaN;
    return in_unit(x, [&](std::span<const double> v) {
        Buf<double> means = bootstrap_draws(v, Stat::Mean, B, seed);
        return core::sum(means.span()) / static_cast<double>(B);
    });
}

namespace {

// The standard error in the sample's unit, which the caller scales back.
double se_in_unit(std::span<const double> v, Stat stat, size_t B, uint64_t seed) {
    Buf<double> r = bootstrap_draws(v, stat, B, seed);
    const double m = core::sum(r.span()) / static_cast<double>(B);
    return std::sqrt(ss_about(r.span(), m) / static_cast<double>(B > 1 ? B - 1 : 1));
}

}  // namespace

double bootstrap_se(std::span<const double> x, std::string_view stat, size_t B, uint64_t seed) {
    if (x.empty() || B == 0) return kNaN;
    auto st = se_stat(stat);
    if (!st) return kNaN;  // every replicate would be NaN
    return in_unit(x, [&](std::span<const double> v) { return se_in_unit(v, *st, B, seed); });
}

double bootstrap_var(std::span<const double> x, std::string_view stat, size_t B, uint64_t seed) {
    if (x.empty() || B == 0) return kNaN;
    auto st = se_stat(stat);
    if (!st) return kNaN;
    const core::InUnit v(x);
    const double se = se_in_unit(v.span(), *st, B, seed);
    return core::unscale(se * se, v.unit(), 2);  // squared in the unit, so a subnormal variance rounds once
}

Estimate bootstrap_corr(std::span<const double> x, std::span<const double> y, size_t B, double conf,
                        uint64_t seed) {
    if (x.size() != y.size() || x.empty() || B == 0) return kNaNEstimate;
    // Correlation does not change with a shift; the deviations keep the digits
    // of data far from zero.
    const Buf<double> dx = deviations(x), dy = deviations(y);
    Buf<double> r(B);
    resample_map(seed, B, x.size(), CorrFold{dx.data(), dy.data(), x.size()}, r.data());
    size_t m = 0;
    for (double v : r)
        if (std::isfinite(v)) r[m++] = v;
    if (m == 0) return kNaNEstimate;
    return percentile_ci_from_draws({r.data(), m}, conf);
}

}  // namespace ms::kernels::resampling
