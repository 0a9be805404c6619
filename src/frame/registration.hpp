// The module's names in their registration order, known at compile time so
// that a table row naming a function the order lacks does not build.
#pragma once

#include <cstddef>
#include <string_view>

namespace ms {

inline constexpr std::string_view kOrder[] = {
#include "lib/registration_order.inc"
};
inline constexpr size_t kOrderSize = sizeof kOrder / sizeof kOrder[0];

// The name's index in kOrder, or kOrderSize when it has none.
constexpr size_t order_position(std::string_view name) {
    for (size_t i = 0; i < kOrderSize; ++i)
        if (kOrder[i] == name) return i;
    return kOrderSize;
}

}  // namespace ms
