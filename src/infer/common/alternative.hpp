// The alternative hypothesis of a test, parsed from the caller's option text.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.hpp"

namespace ms::infer {

struct Alternative {
    enum Kind : uint8_t { TwoSided = 0, Less = 1, Greater = 2 };
    Kind kind = TwoSided;

    // Exact, case-sensitive match; no trimming.
    static Result<Alternative> from_str(std::string_view s) {
        if (s == "two-sided" || s == "two_sided") return Alternative{TwoSided};
        if (s == "less") return Alternative{Less};
        if (s == "greater") return Alternative{Greater};
        return value_error("alternative must be one of: 'two-sided', 'less', 'greater'");
    }
};

}  // namespace ms::infer
