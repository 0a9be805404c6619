// Options of the fused rolling functions, validated once per call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/result.hpp"

namespace ms::kernels::rolling {

// Where a window sits relative to its output position.
enum class Alignment : uint8_t { Trailing = 0, Centered = 1 };

// Only Propagate is told apart from the other two by the kernel.
enum class NanPolicy : uint8_t { Propagate = 0, Ignore = 1, RequireMinPeriods = 2 };

struct RollingConfig {
    std::optional<uint64_t> min_periods;
    uint64_t window = 1;
    Alignment alignment = Alignment::Trailing;
    NanPolicy nan_policy = NanPolicy::Propagate;

    // window >= 1 and, when given, 1 <= min_periods <= window; the first
    // failed check is reported.
    static Result<RollingConfig> make(uint64_t window, std::optional<uint64_t> min_periods, Alignment alignment,
                                      NanPolicy nan_policy) {
        if (window == 0) return value_error("window must be >= 1");
        if (min_periods && *min_periods == 0) return value_error("min_periods must be >= 1 (or None)");
        if (min_periods && *min_periods > window)
            return value_error("min_periods (" + std::to_string(*min_periods) + ") cannot exceed window (" +
                               std::to_string(window) + ")");
        return RollingConfig{min_periods, window, alignment, nan_policy};
    }

    // Number of outputs for a series of n values: full windows only when
    // trailing, one per position when centred.
    size_t output_len(size_t n) const noexcept {
        if (alignment == Alignment::Centered) return n;
        return n >= window && n >= 1 ? static_cast<size_t>(n - window + 1) : 0;
    }
};

}  // namespace ms::kernels::rolling
