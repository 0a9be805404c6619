// Rolling z-scores on the running-sum engines.
#pragma once

#include <cmath>
#include <span>

#include "kernels/rolling/engine.hpp"

namespace ms::kernels::rolling {

// Score of the first value of each full window against that window's mean
// and sd: NaN for a non-finite sd, 0.0 for no spread. out holds n - w + 1.
// Both return what the engines do (units.hpp).
inline double rolling_zscore(std::span<const double> x, size_t w, double* out, bool may_stop) {
    return running_mean_std<true, true>(
        x, w,
        [&](size_t k, double mean, double sd) {
            out[k] = !std::isfinite(sd) ? kNaN : sd > 0.0 ? (x[k] - mean) / sd : 0.0;
        },
        may_stop);
}

// Score of each value against the NaN-skipping window that ends at it: NaN
// for a NaN value, fewer than two values, no spread or an infinite or NaN sd.
inline double rolling_zscore_nan(std::span<const double> x, size_t w, double* out, bool may_stop) {
    return nan_sums<false>(
        x, w, first_finite(x),
        [&](size_t i, double c, double s1, double s2, double s) {
            double z = kNaN;
            if (!std::isnan(x[i]) && c >= 2.0) {
                double var = nan_window_var(c, s1, s2);
                if (var > 0.0) {
                    double sd = std::sqrt(var);
                    if (!std::isinf(sd)) z = ((x[i] - s) - s1 / c) / sd;
                }
            }
            out[i] = z;
        },
        may_stop);
}

}  // namespace ms::kernels::rolling
