#include "infer/normality.hpp"

#include <cmath>

#include "core/dist.hpp"
#include "core/sums.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/std_normal.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"
#include "core/radix_sort.hpp"
#include "core/total_order.hpp"

namespace ms::infer {
namespace {

// Plain mean and population central moments, the sums of d^2, d * d^2 and
// (d^2)^2 accumulated together in index order.
struct Moments {
    double mean, m2, m3, m4;
};

Moments moments(std::span<const double> x, double sum) noexcept {
    double dn = static_cast<double>(x.size());
    double mean = sum / dn;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;
    for (double v : x) {
        double d = v - mean;
        double d2 = d * d;
        s2 += d2;
        s3 += d * d2;
        s4 += d2 * d2;
    }
    return Moments{mean, ss_or_zero(s2, mean, x) / dn, s3 / dn, s4 / dn};
}

struct Jb {
    double skewness, kurtosis, statistic, pvalue;
};

// Caller has checked m2 > 0.
Jb jb_from(const Moments& mo, double dn) noexcept {
    double s = mo.m3 / std::pow(mo.m2, 1.5);
    double k = mo.m4 / (mo.m2 * mo.m2);
    double excess = k - 3.0;
    double jb = dn / 6.0 * (s * s + excess * excess * 0.25);
    return Jb{s, k, jb, upper_tail_p(core::chi2_cdf(jb, 2.0))};
}

// ln of a probability kept within [1e-300, 1], so the log stays finite.
double clamped_log(double p) noexcept {
    if (p < 1e-300)
        p = 1e-300;
    else if (p > 1.0)
        p = 1.0;
    return std::log(p);
}

// The small-sample adjusted Anderson-Darling statistic of x standardised by
// `mean` and `s`. Both tails go through erfc: 1 - Phi(z) is exactly 0 beyond
// z of about 8.3, which would make the statistic of x differ from that of -x.
// With both tails of the same form the two terms simply trade places under
// reflection. The i-th smallest value serves a_i and the i-th largest b_i, so
// the values are taken in pairs from both ends and each evaluated once.
double ad_statistic(std::span<const double> x, double mean, double s) {
    size_t n = x.size();
    Buf<uint64_t> keys = core::sorted_total_keys(n, [&](size_t i) { return (x[i] - mean) / s; });
    Buf<double> ab(n);  // a_i + b_i at i - 1
    for (size_t i = 0; i < (n + 1) / 2; ++i) {
        const size_t j = n - 1 - i;
        const NormalTails lo = std_normal_tails(core::from_total_order_key(keys[i]));
        const NormalTails hi = std_normal_tails(core::from_total_order_key(keys[j]));
        ab[i] = clamped_log(lo.cdf) + clamped_log(hi.sf);
        ab[j] = clamped_log(hi.cdf) + clamped_log(lo.sf);
    }
    double sum = 0.0;
    for (size_t i = 1; i <= n; ++i) {
        double w = static_cast<double>(i + i) - 1.0;
        sum += w * ab[i - 1];
    }
    double dn = static_cast<double>(n);
    double a2 = -dn - sum / dn;
    return a2 * ((1.0 + 4.0 / dn) - 25.0 / (dn * dn));
}

}  // namespace

Result<JarqueBera> jarque_bera(std::span<const double> x) {
    if (x.size() < 4) return value_error("jarque_bera requires n >= 4");
    MS_TRY(sum, checked_sum(x, "x"));
    SamplesInUnit s(x, sum.sum, sum.big, 4);
    Moments mo = moments(s[0], s.sum(0));
    if (mo.m2 <= 0.0) return value_error("variance is zero");
    Jb jb = jb_from(mo, static_cast<double>(x.size()));
    return JarqueBera{jb.statistic, jb.pvalue, jb.skewness, jb.kurtosis};
}

Result<double> anderson_darling(std::span<const double> x) {
    size_t n = x.size();
    if (n < 2) return value_error("anderson_darling requires n >= 2");
    MS_TRY(sum, checked_sum(x, "x"));
    SamplesInUnit s(x, sum.sum, sum.big);
    double dn = static_cast<double>(n);
    double mean = s.sum(0) / dn;
    double var = ss_or_zero(core::sum_sq_dev(s[0], mean), mean, s[0]) / (dn - 1.0);
    if (var <= 0.0) return value_error("variance is zero");
    return ad_statistic(s[0], mean, std::sqrt(var));
}

Result<NormalitySummary> normality_summary(std::span<const double> x) {
    size_t n = x.size();
    if (n < 4) return value_error("normality_summary requires n >= 4");
    MS_TRY(sum, checked_sum(x, "x"));
    SamplesInUnit s(x, sum.sum, sum.big, 4);
    Moments mo = moments(s[0], s.sum(0));
    if (mo.m2 <= 0.0) return value_error("variance is zero");
    double dn = static_cast<double>(n);
    Jb jb = jb_from(mo, dn);
    double sd = std::sqrt(mo.m2 * dn / (dn - 1.0));
    return NormalitySummary{jb.skewness,
                            jb.kurtosis,
                            jb.kurtosis - 3.0,
                            jb.statistic,
                            jb.pvalue,
                            ad_statistic(s[0], mo.mean, sd),
                            static_cast<int64_t>(n)};
}

}  // namespace ms::infer
