#include "kernels/resampling/intervals.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "kernels/resampling/in_unit.hpp"
#include "kernels/resampling/replicate.hpp"

namespace ms::kernels::resampling {
namespace {

// Keeps the finite values at the front, in order; returns their number.
size_t keep_finite(std::span<double> v) noexcept {
    size_t k = 0;
    for (double a : v)
        if (std::isfinite(a)) v[k++] = a;
    return k;
}

// Interpolated percentiles at alpha and 1 - alpha of sorted d (B >= 1).
Ends interpolated_ends(std::span<const double> d, double conf) noexcept {
    const double alpha = (1.0 - conf) * 0.5;
    return {interpolated_percentile(d, alpha), interpolated_percentile(d, 1.0 - alpha)};
}

// Sorts d in place and reads the interpolated interval.
Ends sorted_interpolated_ends(std::span<double> d, double conf) {
    draw_sort(d);
    return interpolated_ends(d, conf);
}

// A value with a weight (or its position), sorted by value.
struct Pair {
    double v, w;
};

// Stable ascending sort by value with a < b, shaped like the draw sort:
// insertion below 21 pairs, else insertion runs merged through tmp (n pairs).
// Loops are bounded by indices, so NaN values cannot make them overrun.
void insertion_sort_pairs(Pair* d, size_t n) noexcept {
    for (size_t i = 1; i < n; ++i) {
        Pair p = d[i];
        size_t j = i;
        for (; j > 0 && p.v < d[j - 1].v; --j) d[j] = d[j - 1];
        d[j] = p;
    }
}

void sort_pairs(Pair* d, size_t n, Pair* tmp) noexcept {
    constexpr size_t kRun = 16;
    if (n < 21) {
        insertion_sort_pairs(d, n);
        return;
    }
    for (size_t i = 0; i < n; i += kRun) insertion_sort_pairs(d + i, std::min(kRun, n - i));
    Pair* src = d;
    Pair* dst = tmp;
    for (size_t w = kRun; w < n; w *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * w) {
            size_t mid = std::min(lo + w, n), hi = std::min(lo + 2 * w, n);
            size_t a = lo, b = mid, k = lo;
            while (a < mid && b < hi) dst[k++] = src[b].v < src[a].v ? src[b++] : src[a++];
            while (a < mid) dst[k++] = src[a++];
            while (b < hi) dst[k++] = src[b++];
        }
        std::swap(src, dst);
    }
    if (src != d) std::copy(src, src + n, d);
}

// Median of a sorted copy of x (n >= 1).
double sorted_median(std::span<const double> x) {
    Buf<double> c = Buf<double>::from(x);
    draw_sort(c.span());
    const size_t n = x.size();
    return n % 2 ? c[n / 2] : (c[n / 2 - 1] + c[n / 2]) * 0.5;
}

// Square root of a variance whose rounding may leave it slightly negative
// (then 0); a NaN variance (NaN or infinite data) stays NaN.
double std_of_variance(double v) noexcept {
    if (v > 0.0) return std::sqrt(v);
    return std::isnan(v) ? v : 0.0;
}

// One-pass sample standard deviation from the sum S and sum of squares Q
// of n >= 2 values.
double one_pass_sample_std(double S, double Q, size_t n) noexcept {
    const double dn = static_cast<double>(n);
    const double m = S / dn;
    return std_of_variance((Q - m * (m * dn)) / (dn - 1.0));
}

// Sample standard error of the mean of r (n >= 2 values, mean m); none for
// values that are all one number.
double se_of_mean(const double* r, size_t n, double m) noexcept {
    const double dn = static_cast<double>(n);
    return std::sqrt(ss_about({r, n}, m) / (dn - 1.0)) / std::sqrt(dn);
}

// Studentized mean of one resample, written to scratch for the second pass.
struct StudentFold {
    const double* x;
    size_t n;
    double xbar;
    struct State {
        double* r;
        double s;
    };
    size_t scratch_len() const { return n; }
    size_t weight() const { return 2; }
    State start(double* scratch) const { return {scratch, 0.0}; }
    void add(State& st, size_t j, size_t k) const {
        st.r[k] = x[j];
        st.s += x[j];
    }
    double finish(State& st) const {
        const double m = st.s / static_cast<double>(n);
        const double se_b = se_of_mean(st.r, n, m);
        return se_b > 0.0 ? (m - xbar) / se_b : kNaN;
    }
};

using SampleStdFold = SumSqFold<one_pass_sample_std>;

// Standard normal CDF by the Abramowitz-Stegun polynomial (26.2.17).
double norm_cdf_approx(double z) noexcept {
    const double t = 1.0 / (1.0 + 0.2316419 * std::fabs(z));
    const double poly = t * (t * (t * (t * 1.330274429 - 1.821255978) + 1.781477937) - 0.356563782) + 0.31938153;
    const double q = std::exp(z * (z * -0.5)) * 0.3989422804014327 * t * poly;  // b1 t + ... + b5 t^5
    return z >= 0.0 ? 1.0 - q : q;
}

enum class Simple { Mean, Median, Std };

std::optional<Simple> simple_stat(std::string_view name) noexcept {
    if (name == "mean") return Simple::Mean;
    if (name == "median") return Simple::Median;
    if (name == "std") return Simple::Std;
    return std::nullopt;
}

void sum_and_squares(std::span<const double> x, double& S, double& Q) noexcept {
    S = 0.0;
    Q = 0.0;
    for (double v : x) {
        S += v;
        Q += v * v;
    }
}

// Leave-one-out medians: the sorted positions of the values decide which
// middle values remain once x[i] is gone.
void jackknife_medians(std::span<const double> x, double* out) {
    const size_t n = x.size();
    Buf<Pair> p(n), tmp(n < 21 ? 0 : n);
    for (size_t j = 0; j < n; ++j) p[j] = {x[j], static_cast<double>(j)};
    sort_pairs(p.data(), n, tmp.data());
    Buf<size_t> rank(n);
    for (size_t s = 0; s < n; ++s) rank[static_cast<size_t>(p[s].w)] = s;
    const size_t m = n - 1, h = m / 2;
    for (size_t i = 0; i < n; ++i) {
        if (m % 2) {
            out[i] = p[rank[i] <= h ? h + 1 : h].v;
        } else {
            const double left = p[rank[i] + 1 <= h ? h : h - 1].v;
            const double right = p[rank[i] <= h ? h + 1 : h].v;
            out[i] = (left + right) * 0.5;
        }
    }
}

// One weighted statistic of the Bayesian bootstrap; w holds n weights.
// Weights summing to 1 only up to rounding set the weighted mean of one value
// (`equal`) off that value, but leave it without spread.
double weighted_stat(std::span<const double> x, const double* w, Simple stat, bool equal, Pair* pairs,
                     Pair* tmp) noexcept {
    const size_t n = x.size();
    switch (stat) {
        case Simple::Mean: {
            double s = 0.0;
            for (size_t k = 0; k < n; ++k) s += w[k] * x[k];
            return s;
        }
        case Simple::Std: {
            if (equal) return 0.0;
            double m = 0.0;
            for (size_t k = 0; k < n; ++k) m += w[k] * x[k];
            double V = 0.0;
            for (size_t k = 0; k < n; ++k) V += (x[k] - m) * (w[k] * (x[k] - m));
            return std_of_variance(V);
        }
        case Simple::Median: {
            for (size_t k = 0; k < n; ++k) pairs[k] = {x[k], w[k]};
            sort_pairs(pairs, n, tmp);
            double cum = 0.0;
            for (size_t k = 0; k < n; ++k) {
                cum += pairs[k].w;
                if (cum >= 0.5) return pairs[k].v;
            }
            return pairs[n - 1].v;
        }
    }
    return kNaN;
}

}  // namespace

double norm_ppf_approx(double p) noexcept {
    if (!(p > 0.0 && p < 1.0)) return kNaN;
    constexpr double a1 = -39.69683028665376, a2 = 220.9460984245205, a3 = -275.9285104469687,
                     a4 = 138.357751867269, a5 = -30.66479806614716, a6 = 2.506628277459239;
    constexpr double b1 = -54.47609879822406, b2 = 161.5858368580409, b3 = -155.6989798598866,
                     b4 = 66.80131188771972, b5 = -13.28068155288572;
    constexpr double c1 = -0.007784894002430293, c2 = -0.3223964580411365, c3 = -2.400758277161838,
                     c4 = -2.549732539343734, c5 = 4.374664141464968, c6 = 2.938163982698783;
    constexpr double d1 = 0.007784695709041462, d2 = 0.3224671290700398, d3 = 2.445134137142996,
                     d4 = 3.754408661907416;
    auto tail = [&](double q) {
        return (((((c1 * q + c2) * q + c3) * q + c4) * q + c5) * q + c6) /
               ((((d1 * q + d2) * q + d3) * q + d4) * q + 1.0);
    };
    if (p < 0.02425) return tail(std::sqrt(-2.0 * std::log(p)));
    if (p > 0.97575) return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
    const double q = p - 0.5, r = q * q;
    return q * (((((a1 * r + a2) * r + a3) * r + a4) * r + a5) * r + a6) /
           (((((b1 * r + b2) * r + b3) * r + b4) * r + b5) * r + 1.0);
}

Estimate bootstrap_t_ci_mean(std::span<const double> x, size_t B, double conf, uint64_t seed) {
    const size_t n = x.size();
    if (B == 0 || n < 2) return kNaNEstimate;
    return in_unit(x, [&](std::span<const double> v) {
        const double xbar = core::sum(v) / static_cast<double>(n);
        const double se = se_of_mean(v.data(), n, xbar);
        Buf<double> t(B);
        resample_map(seed, B, n, StudentFold{v.data(), n, xbar}, t.data());
        const size_t K = keep_finite(t.span());
        if (K == 0) return Estimate{xbar, kNaN, kNaN};
        const Ends e = sorted_interpolated_ends({t.data(), K}, conf);
        return Estimate{xbar, xbar - se * e.upper, xbar - se * e.lower};
    });
}

namespace {

// The BCa interval of x as read in its unit.
Estimate bca_in_unit(std::span<const double> x, Simple stat, size_t B, double conf, uint64_t seed) {
    const size_t n = x.size();
    const bool equal = one_value(x);
    double S, Q;
    sum_and_squares(x, S, Q);
    const double dn = static_cast<double>(n);
    Buf<double> reps;
    double theta = kNaN;  // every case assigns it
    Buf<double> jack(n);
    switch (stat) {
        case Simple::Mean:
            theta = core::sum(x) / dn;
            reps = bootstrap_draws(x, Stat::Mean, B, seed);
            for (size_t i = 0; i < n; ++i) jack[i] = (S - x[i]) / (dn - 1.0);
            break;
        case Simple::Median:
            theta = sorted_median(x);
            reps = bootstrap_draws(x, Stat::Median, B, seed);
            jackknife_medians(x, jack.data());
            break;
        case Simple::Std:
            theta = equal ? 0.0 : one_pass_sample_std(S, Q, n);
            if (equal) {
                reps = Buf<double>::zeros(B);  // every resample is the sample again
            } else {
                reps = Buf<double>(B);
                resample_map(seed, B, n, SampleStdFold{x.data(), n}, reps.data());
            }
            for (size_t i = 0; i < n; ++i) {
                const double mi = (S - x[i]) / (dn - 1.0);
                const double vi = ((Q - x[i] * x[i]) - mi * (mi * (dn - 1.0))) / (dn - 2.0);
                jack[i] = equal ? 0.0 : std_of_variance(vi);
            }
            break;
    }
    draw_sort(reps.span());
    size_t below = 0;
    for (double r : reps) below += r < theta;
    const double p0 = std::clamp(static_cast<double>(below) / static_cast<double>(B), 1e-10, 0.9999999999);
    const double z0 = norm_ppf_approx(p0);
    const double jbar = core::sum(jack.span()) / dn;
    double N = 0.0, D = 0.0;
    for (double j : jack) {
        const double d = jbar - j;
        N += d * (d * d);
        D += d * d;
    }
    // Jackknife values that are all one number do not accelerate, however
    // their rounded mean falls.
    const bool flat = !(D > 0.0) || core::equal_within_rounding(D / dn, jbar, jack.data(), n);
    const double a = flat ? 0.0 : N / (6.0 * std::pow(D, 1.5));
    const double alpha = (1.0 - conf) * 0.5;
    auto level = [&](double z) {
        const double w = z0 + z;
        return std::clamp(norm_cdf_approx(z0 + w / (1.0 - a * w)), 0.0, 1.0);  // NaN stays NaN
    };
    const double lo = level(norm_ppf_approx(alpha)), hi = level(norm_ppf_approx(1.0 - alpha));
    return {theta, interpolated_percentile(reps.span(), lo), interpolated_percentile(reps.span(), hi)};
}

}  // namespace

Result<Estimate> bootstrap_bca_ci(std::span<const double> x, std::string_view name, size_t B, double conf,
                                  uint64_t seed) {
    if (B == 0 || x.size() < 3) return kNaNEstimate;
    const auto stat = simple_stat(name);
    if (!stat) return value_error(std::string(kUnsupportedStat));
    return in_unit(x, [&](std::span<const double> v) { return bca_in_unit(v, *stat, B, conf, seed); });
}

Result<Estimate> bayesian_bootstrap_ci(std::span<const double> x, std::string_view name, size_t B, double conf,
                                       uint64_t seed) {
    const size_t n = x.size();
    if (conf >= 1.0 || conf <= 0.0 || B == 0 || n == 0) return kNaNEstimate;
    const auto stat = simple_stat(name);
    if (!stat) return value_error(std::string(kUnsupportedStat));
    if (*stat == Simple::Std && n < 2) return kNaNEstimate;
    // Scratch: n weights, then for the median n pairs and n pairs of merge space.
    const size_t pair_doubles = *stat == Simple::Median ? 4 : 0;
    if (n > SIZE_MAX / 8) throw std::bad_alloc();
    return in_unit(x, [&](std::span<const double> v) {
        const bool equal = one_value(v);
        double theta = kNaN;  // every case assigns it
        switch (*stat) {
            case Simple::Mean: theta = core::sum(v) / static_cast<double>(n); break;
            case Simple::Median: theta = sorted_median(v); break;
            case Simple::Std: {
                double S, Q;
                sum_and_squares(v, S, Q);
                theta = equal ? 0.0 : one_pass_sample_std(S, Q, n);
                break;
            }
        }
        Buf<double> reps(B);
        replicate_map(seed, B, n * (1 + pair_doubles), n * (pair_doubles ? 8 : 2), reps.data(),
                      [&](Pcg64& g, double* w) {
                          double T = 0.0;
                          for (size_t k = 0; k < n; ++k) {
                              w[k] = g.exp_weight();
                              T += w[k];
                          }
                          if (!(T > 0.0)) return kNaN;
                          const double inv = 1.0 / T;
                          for (size_t k = 0; k < n; ++k) w[k] *= inv;
                          Pair* pairs = nullptr;
                          if (pair_doubles) pairs = new (w + n) Pair[2 * n];
                          return weighted_stat(v, w, *stat, equal, pairs, pairs ? pairs + n : nullptr);
                      });
        const size_t K = keep_finite(reps.span());
        if (K == 0) return Estimate{theta, kNaN, kNaN};
        const Ends e = sorted_interpolated_ends({reps.data(), K}, conf);
        return Estimate{theta, e.lower, e.upper};
    });
}

namespace {

Estimate block_ci_in_unit(std::span<const double> x, size_t L, size_t B, double conf, uint64_t seed,
                          BlockScheme scheme) {
    const size_t n = x.size();
    const double dn = static_cast<double>(n);
    const double est = core::sum(x) / dn;
    const size_t nb = n / L + (n % L != 0);  // blocks covering n values, without wrapping n + L - 1
    const double p = std::clamp(1.0 / static_cast<double>(L), 1e-12, 1.0);
    Buf<double> reps = Buf<double>::zeros(B);
    Pcg64 g = Pcg64::seeded(seed);
    for (size_t i = 0; i < B; ++i) {
        double sum = 0.0;
        size_t taken = 0;
        switch (scheme) {
            case BlockScheme::Moving:
                for (size_t blocks = 0; taken < n && blocks < nb;) {
                    const size_t start = g.below(n);
                    const size_t end = L >= n - start ? n : start + L;
                    for (size_t k = start; k < end; ++k) sum += x[k];
                    taken += end - start;
                    ++blocks;
                }
                break;
            case BlockScheme::Circular:
                for (size_t blocks = 0; taken < n && blocks < nb;) {
                    size_t k = g.below(n);
                    ++blocks;
                    for (size_t j = 0; j < L && taken < n; ++j, ++taken) {
                        sum += x[k];
                        if (++k == n) k = 0;
                    }
                }
                break;
            case BlockScheme::Stationary: {
                size_t cur = g.below(n);
                for (size_t k = 0; k < n; ++k) {
                    const bool jump = g.uniform() < p;
                    sum += x[cur];
                    if (jump) {
                        cur = g.below(n);
                    } else if (++cur == n) {
                        cur = 0;
                    }
                }
                taken = n;
                break;
            }
        }
        reps[i] = sum / static_cast<double>(taken);
    }
    const Ends e = sorted_interpolated_ends(reps.span(), conf);
    return {est, e.lower, e.upper};
}

}  // namespace

Estimate block_bootstrap_mean_ci(std::span<const double> x, size_t L, size_t B, double conf, uint64_t seed,
                                 BlockScheme scheme) {
    if (L == 0 || B == 0 || x.empty()) return kNaNEstimate;
    return in_unit(x, [&](std::span<const double> v) { return block_ci_in_unit(v, L, B, conf, seed, scheme); });
}

}  // namespace ms::kernels::resampling
