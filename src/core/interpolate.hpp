// Linear interpolation between two neighbouring order statistics, the one
// rule of every quantile, interquartile range, winsorizing and trimming
// bound, and of the bootstraps' interpolated percentiles. Python-free.
#pragma once

#include <bit>
#include <cstdint>

namespace ms::core {

// The value a fraction f of the way from lo to hi, written as
// (1 - f) * lo + f * hi (not lo + f * (hi - lo)): its rounding is the
// contract. Equal neighbours give their value: the blend of two equal values
// can round off it (0.1 and 0.1 at f = 0.2 give 0.10000000000000002).
inline double lerp(double lo, double hi, double f) noexcept {
    if (std::bit_cast<uint64_t>(lo) == std::bit_cast<uint64_t>(hi)) return lo;
    return (1.0 - f) * lo + f * hi;
}

}  // namespace ms::core
