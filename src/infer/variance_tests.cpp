#include "infer/variance_tests.hpp"

#include <cmath>

#include "core/dist.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/groups.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"

namespace ms::infer {

Result<FTestVar> f_test_var(std::span<const double> x, std::span<const double> y) {
    if (x.size() < 2 || y.size() < 2) return value_error("f_test_var requires n >= 2 for both samples");
    MS_TRY(sum, checked_sum_pair(x, "x", y, "y"));
    SamplesInUnit s(x, sum.x, y, sum.y, std::fmax(sum.big_x, sum.big_y));
    double nx = static_cast<double>(x.size()), ny = static_cast<double>(y.size());
    double means[2] = {s.sum(0) / nx, s.sum(1) / ny}, ss[2];
    kahan_ss_many(s.spans(), means, ss);
    double var_x = ss_or_zero(ss[0], means[0], s[0]) / (nx - 1.0);
    double var_y = ss_or_zero(ss[1], means[1], s[1]) / (ny - 1.0);
    if (var_x <= 0.0 || var_y <= 0.0) return value_error("variances must be positive");
    // The larger variance on top, so F >= 1.
    FTestVar r;
    if (var_x >= var_y)
        r = {var_x / var_y, 0.0, nx - 1.0, ny - 1.0};
    else
        r = {var_y / var_x, 0.0, ny - 1.0, nx - 1.0};
    r.pvalue = clamp_p(2.0 * (1.0 - core::f_cdf(r.statistic, r.df1, r.df2)));
    return r;
}

Result<Bartlett> bartlett_test(std::span<const View1> groups) {
    size_t k = groups.size();
    if (k < 2) return value_error("bartlett_test requires at least 2 groups");
    GroupWalk w = walk_groups(groups, 2, "each group must have at least 2 observations");
    // The groups that passed the walk, in their common unit: the statistic
    // compares their variances.
    SamplesInUnit s(w.spans, w.sums, w.big);
    size_t ok = w.spans.size();
    std::vector<double> means(ok), ss(ok);
    for (size_t i = 0; i < ok; ++i) means[i] = s.sum(i) / static_cast<double>(s[i].size());
    kahan_ss_many(s.spans(), means.data(), ss.data());
    double total = 0.0;       // N
    double pooled_num = 0.0;  // sum of (n_i - 1) s_i^2
    double log_sum = 0.0;     // sum of (n_i - 1) ln s_i^2
    double inv_sum = 0.0;     // sum of 1 / (n_i - 1)
    // A variance check of a group comes before every check of a later group.
    for (size_t i = 0; i < ok; ++i) {
        double ni = static_cast<double>(s[i].size());
        double var = ss_or_zero(ss[i], means[i], s[i]) / (ni - 1.0);
        if (var <= 0.0) return value_error("all group variances must be positive");
        total += ni;
        pooled_num += (ni - 1.0) * var;
        log_sum += (ni - 1.0) * std::log(var);
        inv_sum += 1.0 / (ni - 1.0);
    }
    if (w.err) return std::move(*w.err);
    double dk = static_cast<double>(k);
    double df_w = total - dk;
    double sp2 = pooled_num / df_w;
    if (sp2 <= 0.0) return value_error("pooled variance is zero");
    double q = 1.0 + (inv_sum - 1.0 / df_w) / (3.0 * (dk - 1.0));
    double t = (df_w * std::log(sp2) - log_sum) / q;
    return Bartlett{t, upper_tail_p(core::chi2_cdf(t, dk - 1.0)), dk - 1.0};
}

}  // namespace ms::infer
