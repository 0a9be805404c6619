// Forming a p-value from the null distribution function at the statistic.
#pragma once

#include "infer/common/alternative.hpp"

namespace ms::infer {

// Below 0 becomes 0, above 1 becomes 1, NaN stays NaN.
inline double clamp_p(double p) noexcept {
    if (p < 0.0) return 0.0;
    if (p > 1.0) return 1.0;
    return p;
}

// p-value under `alt` from cdf = P(T <= t) under the null.
inline double p_from_cdf(Alternative alt, double cdf) noexcept {
    double p;
    switch (alt.kind) {
        case Alternative::Less: p = cdf; break;
        case Alternative::Greater: p = 1.0 - cdf; break;
        default: p = 2.0 * (cdf < 0.5 ? cdf : 1.0 - cdf); break;
    }
    return clamp_p(p);
}

// Tests with only an upper tail (F, chi-square).
inline double upper_tail_p(double cdf) noexcept { return clamp_p(1.0 - cdf); }

}  // namespace ms::infer
