#include "infer/odds_ratio.hpp"

#include <cmath>

#include "infer/common/std_normal.hpp"

namespace ms::infer {

Result<OddsRatio> odds_ratio(const View2& table, double confidence) {
    if (table.rows != 2 || table.cols != 2) return value_error("table must be a 2x2 array");
    if (!valid_confidence(confidence)) return value_error("confidence must be in (0, 1)");
    if (table.rstride != 16 || table.cstride != 8) return value_error("table must be C-contiguous");
    double a = table(0, 0), b = table(0, 1), c = table(1, 0), d = table(1, 1);
    // NaN and infinite entries are not refused: they carry into the results.
    if (a < 0.0 || b < 0.0 || c < 0.0 || d < 0.0) return value_error("table entries must be non-negative");
    // Haldane-Anscombe correction: an empty cell would make the ratio or its
    // standard error infinite.
    if (a == 0.0 || b == 0.0 || c == 0.0 || d == 0.0) {
        a += 0.5;
        b += 0.5;
        c += 0.5;
        d += 0.5;
    }
    const double ratio = a * d / (b * c);
    const double log_ratio = std::log(ratio);
    const double se = std::sqrt(1.0 / a + 1.0 / b + 1.0 / c + 1.0 / d);
    const double z = norm_crit(confidence);
    return OddsRatio{ratio, log_ratio, std::exp(log_ratio - z * se), std::exp(log_ratio + z * se), se};
}

}  // namespace ms::infer
