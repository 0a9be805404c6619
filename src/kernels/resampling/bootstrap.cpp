#include "kernels/resampling/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/resampling/replicate.hpp"

namespace ms::kernels {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double plain_sum(std::span<const double> v) noexcept {
    double s = 0.0;
    for (double a : v) s += a;
    return s;
}

double resample_mean(std::span<const double> x, Pcg64& g) noexcept {
    const size_t n = x.size();
    double s = 0.0;
    for (size_t k = 0; k < n; ++k) s += x[g.below(n)];
    return s / static_cast<double>(n);
}

// Draws the n resampled values into out, in draw order.
void resample_into(std::span<const double> x, Pcg64& g, double* out) noexcept {
    const size_t n = x.size();
    for (size_t k = 0; k < n; ++k) out[k] = x[g.below(n)];
}

// The k-th zero of v in order (the sign a stable sort leaves at that place).
double kth_zero(const double* v, size_t n, size_t k) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (v[i] == 0.0 && k-- == 0) return v[i];
    return 0.0;
}

// Median of v (n values) as the draw sort would leave it; tmp: n doubles.
// Without NaN a selection gives the same middle values as the stable sort,
// except that it may pick either sign of zero: a stable sort keeps the zeros
// in input order, so a zero at sorted position p is the (p - #negatives)-th.
double median_of(double* v, size_t n, double* tmp) noexcept {
    bool has_nan = false;
    for (size_t i = 0; i < n; ++i) has_nan |= std::isnan(v[i]);
    if (has_nan) {
        draw_sort({v, n}, tmp);
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5;
    }
    std::copy(v, v + n, tmp);
    const size_t mid = n / 2;
    std::nth_element(tmp, tmp + mid, tmp + n);
    double hi = tmp[mid];
    double lo = n % 2 ? hi : *std::max_element(tmp, tmp + mid);
    if (hi == 0.0 || lo == 0.0) {
        size_t neg = 0;
        for (size_t i = 0; i < n; ++i) neg += v[i] < 0.0;
        if (hi == 0.0) hi = kth_zero(v, n, mid - neg);
        if (lo == 0.0 && n % 2 == 0) lo = kth_zero(v, n, mid - 1 - neg);
    }
    return n % 2 ? hi : (lo + hi) * 0.5;
}

// scratch: 2n doubles (the resample, then working space).
double resample_median(std::span<const double> x, Pcg64& g, double* scratch) noexcept {
    resample_into(x, g, scratch);
    return median_of(scratch, x.size(), scratch + x.size());
}

// One pass of sum and sum of squares; divisor n; a non-positive variance is 0.
double resample_pop_std(std::span<const double> x, Pcg64& g) noexcept {
    const size_t n = x.size();
    double s = 0.0, q = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double v = x[g.below(n)];
        s += v;
        q += v * v;
    }
    const double dn = static_cast<double>(n);
    const double m = s / dn;
    const double var = q / dn - m * m;
    return var <= 0.0 ? 0.0 : std::sqrt(var);
}

// Two passes over the resample held in scratch (n doubles); divisor n - 1.
double resample_sample_std(std::span<const double> x, Pcg64& g, double* scratch) noexcept {
    const size_t n = x.size();
    resample_into(x, g, scratch);
    if (n < 2) return kNaN;
    std::span<const double> r{scratch, n};
    const double m = plain_sum(r) / static_cast<double>(n);
    double ss = 0.0;
    for (double v : r) {
        double d = v - m;
        ss += d * d;
    }
    return std::sqrt(ss / static_cast<double>(n - 1));
}

// Pearson correlation of one paired resample; NaN when either side is
// constant (every drawn value equal) or has no positive variance.
double resample_corr(std::span<const double> x, std::span<const double> y, Pcg64& g) noexcept {
    const size_t n = x.size();
    double sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0;
    double x0 = 0.0, y0 = 0.0;
    bool varies_x = false, varies_y = false;
    for (size_t k = 0; k < n; ++k) {
        const size_t j = g.below(n);
        const double a = x[j], b = y[j];
        if (k == 0) {
            x0 = a;
            y0 = b;
        }
        varies_x |= a != x0;
        varies_y |= b != y0;
        sx += a;
        sy += b;
        sxx += a * a;
        syy += b * b;
        sxy += a * b;
    }
    const double dn = static_cast<double>(n);
    const double mx = sx / dn, my = sy / dn;
    const double var_y = syy / dn - my * my;
    const double var_x = sxx / dn - mx * mx;
    if (!varies_x || !varies_y || var_y <= 0.0 || var_x <= 0.0) return kNaN;
    return (sxy / dn - my * mx) / std::sqrt(var_y * var_x);
}

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
        case Stat::Mean:
            replicate_map(seed, B, 0, n, out.data(), [x](Pcg64& g, double*) { return resample_mean(x, g); });
            break;
        case Stat::Median: {
            size_t len;
            if (__builtin_mul_overflow(n, size_t{2}, &len)) throw std::bad_alloc();
            replicate_map(seed, B, len, n, out.data(), [x](Pcg64& g, double* s) { return resample_median(x, g, s); });
            break;
        }
        case Stat::PopStd:
            replicate_map(seed, B, 0, n, out.data(), [x](Pcg64& g, double*) { return resample_pop_std(x, g); });
            break;
        case Stat::SampleStd:
            replicate_map(seed, B, n, n, out.data(),
                          [x](Pcg64& g, double* s) { return resample_sample_std(x, g, s); });
            break;
    }
    return out;
}

Result<Buf<double>> bootstrap_draws_core(std::span<const double> x, std::string_view stat, size_t B, uint64_t seed) {
    auto st = percentile_stat(stat);
    if (!st) return value_error("Unsupported stat. Use 'mean', 'median', or 'std'.");
    return bootstrap_draws(x, *st, B, seed);
}

Estimate percentile_ci_from_draws(std::span<double> draws, double conf) {
    const double est = plain_sum(draws) / static_cast<double>(draws.size());
    draw_sort(draws);
    Ends e = floor_index_interval(draws, conf);
    return {est, e.lower, e.upper};
}

double bootstrap_mean(std::span<const double> x, size_t B, uint64_t seed) {
    if (x.empty() || B == 0) return kNaN;
    Buf<double> means = bootstrap_draws(x, Stat::Mean, B, seed);
    return plain_sum(means.span()) / static_cast<double>(B);
}

double bootstrap_se(std::span<const double> x, std::string_view stat, size_t B, uint64_t seed) {
    if (x.empty() || B == 0) return kNaN;
    auto st = se_stat(stat);
    if (!st) return kNaN;  // every replicate would be NaN
    Buf<double> v = bootstrap_draws(x, *st, B, seed);
    const double m = plain_sum(v.span()) / static_cast<double>(B);
    double ss = 0.0;
    for (double a : v) {
        double d = a - m;
        ss += d * d;
    }
    return std::sqrt(ss / static_cast<double>(B > 1 ? B - 1 : 1));
}

Estimate bootstrap_corr(std::span<const double> x, std::span<const double> y, size_t B, double conf, uint64_t seed) {
    if (x.size() != y.size() || x.empty() || B == 0) return kNaNEstimate;
    Buf<double> r(B);
    replicate_map(seed, B, 0, x.size(), r.data(), [x, y](Pcg64& g, double*) { return resample_corr(x, y, g); });
    size_t m = 0;
    for (double v : r)
        if (std::isfinite(v)) r[m++] = v;
    if (m == 0) return kNaNEstimate;
    return percentile_ci_from_draws({r.data(), m}, conf);
}

}  // namespace ms::kernels
