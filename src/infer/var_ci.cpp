#include "infer/var_ci.hpp"

#include <cmath>

#include "core/dist.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {

Result<VarCi> var_ci(std::span<const double> x, double confidence) {
    if (x.size() < 2) return value_error("var_ci requires n >= 2");
    if (!(confidence > 0.0 && confidence < 1.0)) return value_error("confidence must be in (0, 1)");
    MS_TRY(sum, checked_sum(x, "x"));
    double n = static_cast<double>(x.size());
    double df = n - 1.0;
    double mean = sum / n;
    double s2 = ss_or_zero(kahan_ss(x, mean), mean, x) / df;
    if (s2 <= 0.0) return value_error("sample variance is zero");
    double alpha = 1.0 - confidence;
    double lo = core::chi2_quantile(alpha / 2.0, df);
    double hi = core::chi2_quantile(1.0 - alpha / 2.0, df);
    double ci_lower = s2 * df / hi, ci_upper = s2 * df / lo;
    return VarCi{s2, ci_lower, ci_upper, df, std::sqrt(s2), std::sqrt(ci_lower), std::sqrt(ci_upper)};
}

}  // namespace ms::infer
