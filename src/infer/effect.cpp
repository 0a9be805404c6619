#include "infer/effect.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/constants.hpp"
#include "core/dist.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/groups.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"

namespace ms::infer {
namespace {


// Means and sample variances of two samples already checked finite, read in
// their common unit (the means and variances are in that unit).
struct TwoMoments {
    double nx, ny, mean_x, mean_y, var_x, var_y;
};

TwoMoments two_moments(const SamplesInUnit& s) noexcept {
    TwoMoments m;
    m.nx = static_cast<double>(s[0].size());
    m.ny = static_cast<double>(s[1].size());
    m.mean_x = s.sum(0) / m.nx;
    m.mean_y = s.sum(1) / m.ny;
    double means[2] = {m.mean_x, m.mean_y}, ss[2];
    kahan_ss_many(s.spans(), means, ss);
    m.var_x = ss_or_zero(ss[0], m.mean_x, s[0]) / (m.nx - 1.0);
    m.var_y = ss_or_zero(ss[1], m.mean_y, s[1]) / (m.ny - 1.0);
    return m;
}

// The shared part of Cohen's d and Hedges' g, after the callers' checks.
double cohens_d_checked(std::span<const double> x, std::span<const double> y, SumPair sum, bool pooled) {
    SamplesInUnit s(x, sum.x, y, sum.y, std::fmax(sum.big_x, sum.big_y));
    TwoMoments m = two_moments(s);
    double s2 = pooled ? (m.var_x * (m.nx - 1.0) + m.var_y * (m.ny - 1.0)) / (m.nx + m.ny - 2.0)
                       : (m.var_x + m.var_y) * 0.5;
    if (s2 == 0.0) return 0.0;
    return (m.mean_x - m.mean_y) / std::sqrt(s2);
}

}  // namespace

Result<double> cohens_d_2samp(std::span<const double> x, std::span<const double> y, bool pooled) {
    MS_TRY(sum, checked_sum_pair(x, "x", y, "y"));
    if (x.size() < 2 || y.size() < 2) return value_error("cohens_d requires n>=2 for both samples");
    return cohens_d_checked(x, y, sum, pooled);
}

Result<double> hedges_g_2samp(std::span<const double> x, std::span<const double> y, bool pooled) {
    MS_TRY(sum, checked_sum_pair(x, "x", y, "y"));
    if (x.size() < 2 || y.size() < 2) return value_error("hedges_g requires n>=2 for both samples");
    double d = cohens_d_checked(x, y, sum, pooled);
    double df = static_cast<double>(x.size() + y.size() - 2);
    return (1.0 + (-3.0 / (df * 4.0 - 1.0))) * d;
}

Result<Interval> mean_diff_ci(std::span<const double> x, const std::optional<View1>& y_view, double alpha,
                              bool equal_var) {
    MS_TRY(sum_x, checked_sum(x, "x"));
    if (x.size() < 2) return value_error("x must have n>=2");
    std::span<const double> y;
    SampleSum sum_y{0.0, 0.0};
    if (y_view) {
        if (!y_view->contiguous()) return not_contiguous_error();
        y = y_view->span();
        MS_TRY(sy, checked_sum(y, "y"));
        if (y.size() < 2) return value_error("y must have n>=2");
        sum_y = sy;
    }
    // The quantile level 1 - alpha/2 must lie in [0, 1]; NaN fails too.
    if (!(alpha >= 0.0 && alpha <= 2.0)) return value_error("alpha must be in [0, 2]");
    // Without y, y is empty and adds nothing to the unit.
    SamplesInUnit s(x, sum_x.sum, y, sum_y.sum, std::fmax(sum_x.big, sum_y.big));
    double c, se, df;
    if (!y_view) {
        double nx = static_cast<double>(x.size());
        double mean = s.sum(0) / nx;
        c = mean;
        se = std::sqrt((ss_or_zero(kahan_ss(s[0], mean), mean, s[0]) / (nx - 1.0)) / nx);
        df = nx - 1.0;
    } else {
        TwoMoments m = two_moments(s);
        c = m.mean_x - m.mean_y;
        double df_max = m.nx + m.ny - 2.0;
        if (equal_var) {
            df = df_max;
            double sp2 = (m.var_x * (m.nx - 1.0) + m.var_y * (m.ny - 1.0)) / df;
            se = std::sqrt((1.0 / m.nx + 1.0 / m.ny) * sp2);
        } else {
            double a = m.var_x / m.nx, b = m.var_y / m.ny;
            se = std::sqrt(a + b);
            double den = m.var_x * m.var_x / (m.nx * m.nx * (m.nx - 1.0)) +
                         m.var_y * m.var_y / (m.ny * m.ny * (m.ny - 1.0));
            if (den == 0.0 || !std::isfinite(den))
                df = df_max;
            else
                df = std::clamp((a + b) * (a + b) / den, 1.0, df_max);
        }
    }
    double h = se * core::t_quantile(1.0 - alpha / 2.0, df);
    return Interval{s.unscale(c - h, 1), s.unscale(c + h, 1)};
}

Result<AnovaEffects> anova_effect_sizes(std::span<const View1> groups) {
    if (groups.size() < 2) return value_error("requires at least 2 groups");
    GroupWalk w = walk_groups(groups, 2, "each group must have at least 2 observations");
    if (w.err) return std::move(*w.err);
    SamplesInUnit s(w.spans, w.sums, w.big);
    size_t k = s.spans().size(), total = 0;
    double grand = 0.0;
    for (size_t i = 0; i < k; ++i) {
        total += s[i].size();
        grand += s.sum(i);
    }
    double dn = static_cast<double>(total), dk = static_cast<double>(k);
    double gm = grand / dn;
    std::vector<double> means(k), ss(k);
    double ss_b = 0.0;
    for (size_t i = 0; i < k; ++i) {
        means[i] = s.sum(i) / static_cast<double>(s[i].size());
        double d = means[i] - gm;
        ss_b += d * (d * static_cast<double>(s[i].size()));
    }
    kahan_ss_many(s.spans(), means.data(), ss.data());
    double ss_w = 0.0;
    for (size_t i = 0; i < k; ++i) ss_w += ss_or_zero(ss[i], means[i], s[i]);
    // Groups of one common value still differ in their rounded means.
    ss_b = ss_or_zero(ss_b, gm, s.spans(), total);
    double ss_t = ss_b + ss_w;
    double eta = ss_t > 0.0 ? ss_b / ss_t : 0.0;
    double ms_w = ss_w / (dn - dk);
    double omega = ss_t + ms_w > 0.0 ? std::fmax((ss_b - (dk - 1.0) * ms_w) / (ss_t + ms_w), 0.0) : 0.0;
    // The sums of squares carry the square of the data's unit.
    return AnovaEffects{eta, omega, s.unscale(ss_b, 2), s.unscale(ss_w, 2), s.unscale(ss_t, 2)};
}

}  // namespace ms::infer
