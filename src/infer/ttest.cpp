#include "infer/ttest.hpp"

#include <cmath>
#include <limits>

#include "core/dist.hpp"
#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/format.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"

namespace ms::infer {

double p_from_t(Alternative alt, double t, double df) noexcept {
    if (std::isnan(t)) return std::numeric_limits<double>::quiet_NaN();
    return p_from_cdf(alt, core::t_cdf(t, df));
}

double t_statistic(double diff, double se2, double zero_below) noexcept {
    if (se2 != 0.0) return diff / std::sqrt(se2);
    if (std::isnan(diff)) return diff;
    if (diff == 0.0 || std::fabs(diff) < zero_below) return 0.0;
    return std::copysign(std::numeric_limits<double>::infinity(), diff);
}

namespace {

// A variance is usable when finite and not negative (-0.0 passes).
bool usable_variance(double v) noexcept { return std::isfinite(v) && v >= 0.0; }

}  // namespace

Result<TTest1> t_test_1samp(std::span<const double> x, double popmean, std::string_view alternative) {
    MS_TRY(sum, checked_sum(x, "x"));
    size_t n = x.size();
    if (n < 2) return value_error("t_test_1samp requires n >= 2");
    SamplesInUnit s(x, sum.sum, sum.big);
    double dn = static_cast<double>(n);
    double m = s.sum(0) / dn;
    auto [mean, ss] = settle_equal(s[0], m, kahan_ss(s[0], m));
    double var = ss / (dn - 1.0);
    if (!usable_variance(var))
        return value_error("variance is not finite: var=" + sci6(s.unscale(var, 2)) +
                           ", mean=" + sci6(s.unscale(mean, 1)) + ", n=" + std::to_string(n));
    double t = t_statistic(mean - s.in_unit(popmean), var / dn);
    MS_TRY(alt, Alternative::from_str(alternative));
    double df = dn - 1.0;
    return TTest1{t, p_from_t(alt, t, df), df, s.unscale(mean, 1)};
}

Result<TTest2> t_test_2samp(std::span<const double> x, std::span<const double> y, bool equal_var,
                            std::string_view alternative) {
    MS_TRY(sum, checked_sum_pair(x, "x", y, "y"));
    if (x.size() < 2 || y.size() < 2) return value_error("t_test_2samp requires n >= 2 for both samples");
    SamplesInUnit s(x, sum.x, y, sum.y, std::fmax(sum.big_x, sum.big_y));
    double n1 = static_cast<double>(x.size()), n2 = static_cast<double>(y.size());
    double means[2] = {s.sum(0) / n1, s.sum(1) / n2}, ss[2];
    kahan_ss_many(s.spans(), means, ss);
    auto [mean_x, ss_x] = settle_equal(s[0], means[0], ss[0]);
    auto [mean_y, ss_y] = settle_equal(s[1], means[1], ss[1]);
    double var1 = ss_x / (n1 - 1.0), var2 = ss_y / (n2 - 1.0);
    if (!usable_variance(var1) || !usable_variance(var2))
        return value_error("variance is not finite: v1=" + sci6(s.unscale(var1, 2)) +
                           ", v2=" + sci6(s.unscale(var2, 2)));
    MS_TRY(alt, Alternative::from_str(alternative));
    double df_max = n1 + n2 - 2.0;
    double se2, df;
    if (equal_var) {
        se2 = (1.0 / n1 + 1.0 / n2) * ((var1 * (n1 - 1.0) + var2 * (n2 - 1.0)) / df_max);
        df = df_max;
    } else {
        se2 = var1 / n1 + var2 / n2;
        double a = var1 * var1 / (n1 * n1 * (n1 - 1.0));
        double b = var2 * var2 / (n2 * n2 * (n2 - 1.0));
        df = df_max;
        if (std::isfinite(a + b) && a + b != 0.0) {
            double r = se2 * se2 / (a + b);
            r = r >= 1.0 ? r : 1.0;  // a NaN ratio gives 1 too
            df = r < df_max ? r : df_max;
        }
    }
    double diff = mean_x - mean_y;
    // Means closer than 1e-15 in the data's own unit count as equal.
    double t = t_statistic(diff, se2, s.in_unit(1e-15));
    return TTest2{t, p_from_t(alt, t, df), df, s.unscale(mean_x, 1), s.unscale(mean_y, 1)};
}

}  // namespace ms::infer
