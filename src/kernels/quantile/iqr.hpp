// The two quartiles and their difference. Both quartiles follow the
// interpolation rule of a sorted copy at h = (n - 1) * p; selection finds the
// same order statistics without sorting.
#pragma once

#include <span>

#include "kernels/descriptive/moments.hpp"
#include "kernels/quantile/select.hpp"

namespace ms::kernels::quantile {

struct Quartiles {
    double q1, q3, iqr;
};

// (q1, q3, q3 - q1); all NaN for empty input or any NaN value.
inline Quartiles iqr_slice(std::span<const double> x) {
    if (x.empty()) return {kNaN, kNaN, kNaN};
    const KeyBounds kb = scan_keys(x.size(), at(x));
    if (kb.nan) return {kNaN, kNaN, kNaN};
    const double n1 = static_cast<double>(x.size() - 1);
    const double q1 = quantile_at(x, n1 * 0.25, kb), q3 = quantile_at(x, n1 * 0.75, kb);
    return {q1, q3, q3 - q1};
}

}  // namespace ms::kernels::quantile
