// Refusal of NaN and infinite sample values, and the first pass over a sample
// that sums it and checks it at once.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/result.hpp"
#include "core/unit.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {

// The arrays of a `groups` sequence are checked one by one as a test reaches them.
inline Err not_contiguous_error() { return type_error("The given array is not contiguous"); }

inline Err nonfinite_error(std::string_view name) {
    std::string m(name);
    m += " contains NaN or Inf; marlox-stats v0.3 nan_policy is 'reject'";
    return value_error(std::move(m));
}

// True when no value is NaN or infinite (all exponent bits set). The integer
// or-reduction vectorises; only a yes/no is needed, not the position.
inline bool all_finite(std::span<const double> x) noexcept {
    constexpr uint64_t kExp = 0x7ff0000000000000ULL;
    uint64_t bad = 0;
    for (double v : x) bad |= static_cast<uint64_t>((std::bit_cast<uint64_t>(v) & kExp) == kExp);
    return bad == 0;
}

// The error naming `name` when x holds a NaN or an infinity.
inline std::optional<Err> reject_nonfinite(std::span<const double> x, std::string_view name) {
    if (all_finite(x)) return std::nullopt;
    return nonfinite_error(name);
}

// A sample's plain sum and its largest magnitude.
using SampleSum = core::SumMagnitude;

// A plain left-to-right sum from 0.0 that also refuses non-finite values. A
// NaN or infinite term leaves every later partial sum NaN or infinite, so a
// finite total proves the sample finite; only a non-finite total (which finite
// values can also reach by overflow) needs the scan.
inline Result<SampleSum> checked_sum(std::span<const double> x, std::string_view name) {
    const SampleSum s = core::sum_and_magnitude(x);
    if (!std::isfinite(s.sum))
        if (auto e = reject_nonfinite(x, name)) return std::move(*e);
    return s;
}

struct SumPair {
    double x, y;          // the plain sums
    double big_x, big_y;  // the largest magnitudes
};

// checked_sum of two samples, their chains run side by side; x is judged
// whole before y.
inline Result<SumPair> checked_sum_pair(std::span<const double> x, std::string_view x_name,
                                        std::span<const double> y, std::string_view y_name) {
    std::span<const double> xs[2] = {x, y};
    double s[2], big[2];
    plain_sums(xs, s, big);
    if (!std::isfinite(s[0]))
        if (auto e = reject_nonfinite(x, x_name)) return std::move(*e);
    if (!std::isfinite(s[1]))
        if (auto e = reject_nonfinite(y, y_name)) return std::move(*e);
    return SumPair{s[0], s[1], big[0], big[1]};
}

}  // namespace ms::infer
