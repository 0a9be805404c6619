// One percentile with linear interpolation, the default rule of NumPy's
// percentile: h = (n - 1) * (q / 100), the values at floor(h) and ceil(h)
// blended as (1 - f) * lo + f * hi.
#pragma once

#include <algorithm>
#include <cmath>
#include <span>

#include "kernels/descriptive/moments.hpp"
#include "kernels/quantile/select.hpp"

namespace ms::kernels::quantile {

// Percentile q (percent, not NaN; clamped to [0, 100]) of n >= 1 NaN-free
// values whose scan is kb.
inline double percentile_scanned(std::span<const double> x, double q, const KeyBounds& kb) {
    if (x.size() == 1) return x[0];
    q = std::clamp(q, 0.0, 100.0);
    double h = static_cast<double>(x.size() - 1) * (q / 100.0);
    return quantile_at(x, h, kb);
}

// NaN for empty input, a NaN q or any NaN value; the caller's data is only read.
inline double percentile_slice(std::span<const double> x, double q) {
    if (x.empty() || std::isnan(q)) return kNaN;
    const KeyBounds kb = scan_keys(x.size(), at(x));
    return kb.nan ? kNaN : percentile_scanned(x, q, kb);
}

}  // namespace ms::kernels::quantile
