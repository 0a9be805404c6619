#include "infer/var_ci.hpp"

#include <cmath>

#include "core/dist.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"

namespace ms::infer {

Result<VarCi> var_ci(std::span<const double> x, double confidence) {
    if (x.size() < 2) return value_error("var_ci requires n >= 2");
    if (!(confidence > 0.0 && confidence < 1.0)) return value_error("confidence must be in (0, 1)");
    MS_TRY(sum, checked_sum(x, "x"));
    SamplesInUnit u(x, sum.sum, sum.big);
    double n = static_cast<double>(x.size());
    double df = n - 1.0;
    double mean = u.sum(0) / n;
    double s2 = ss_or_zero(kahan_ss(u[0], mean), mean, u[0]) / df;
    if (s2 <= 0.0) return value_error("sample variance is zero");
    double alpha = 1.0 - confidence;
    double lo = core::chi2_quantile(alpha / 2.0, df);
    double hi = core::chi2_quantile(1.0 - alpha / 2.0, df);
    double ci_lower = s2 * df / hi, ci_upper = s2 * df / lo;
    // Variances carry the square of the data's unit, deviations the unit.
    return VarCi{u.unscale(s2, 2),           u.unscale(ci_lower, 2),           u.unscale(ci_upper, 2), df,
                 u.unscale(std::sqrt(s2), 1), u.unscale(std::sqrt(ci_lower), 1), u.unscale(std::sqrt(ci_upper), 1)};
}

}  // namespace ms::infer
