#include "infer/proportion.hpp"

#include <cmath>

#include "infer/common/alternative.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/std_normal.hpp"

namespace ms::infer {
namespace {

bool valid_nobs(double nobs) noexcept { return std::isfinite(nobs) && nobs > 0.0; }

// -0.0 passes; NaN and infinities do not.
bool valid_count(double count, double nobs) noexcept {
    return std::isfinite(count) && count >= 0.0 && count <= nobs;
}

double p_from_z(Alternative alt, double z) noexcept {
    double p;
    switch (alt.kind) {
        case Alternative::Less: p = norm_cdf(z); break;
        case Alternative::Greater: p = norm_sf(z); break;
        default: p = 2.0 * norm_sf(std::fabs(z)); break;
    }
    return clamp_p(p);
}

}  // namespace

Result<PropTest1> proportion_ztest(double count, double nobs, double value, std::string_view alternative) {
    if (!valid_nobs(nobs)) return value_error("nobs must be a positive finite number");
    if (!valid_count(count, nobs)) return value_error("count must be in [0, nobs]");
    if (!(value > 0.0 && value < 1.0)) return value_error("value must be in (0, 1)");
    MS_TRY(alt, Alternative::from_str(alternative));
    const double se2 = value * (1.0 - value) / nobs;
    if (se2 == 0.0) return value_error("standard error is zero (degenerate case)");
    const double phat = count / nobs;
    const double z = (phat - value) / std::sqrt(se2);
    return PropTest1{z, p_from_z(alt, z), phat};
}

Result<PropTest2> two_proportions_ztest(double count1, double nobs1, double count2, double nobs2,
                                        std::string_view alternative) {
    if (!valid_nobs(nobs1) || !valid_nobs(nobs2)) return value_error("nobs must be positive finite numbers");
    if (!valid_count(count1, nobs1)) return value_error("count1 must be in [0, nobs1]");
    if (!valid_count(count2, nobs2)) return value_error("count2 must be in [0, nobs2]");
    MS_TRY(alt, Alternative::from_str(alternative));
    const double p1 = count1 / nobs1, p2 = count2 / nobs2;
    const double pooled = (count1 + count2) / (nobs1 + nobs2);
    const double diff = p1 - p2;
    // No successes or no failures at all: nothing to test.
    if (pooled <= 0.0 || pooled >= 1.0) return PropTest2{0.0, 1.0, p1, p2, diff};
    const double se2 = pooled * (1.0 - pooled) * (1.0 / nobs1 + 1.0 / nobs2);
    if (se2 == 0.0) return value_error("standard error is zero");
    const double z = diff / std::sqrt(se2);
    return PropTest2{z, p_from_z(alt, z), p1, p2, diff};
}

}  // namespace ms::infer
