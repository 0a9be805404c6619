// The IEEE 754 total order on doubles as an unsigned key, and its inverse:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN. Every function that
// sorts or selects sample values orders them by this key; values with equal
// keys are bit-identical.
#pragma once

#include <bit>
#include <cstdint>

namespace ms::core {

inline constexpr uint64_t kSignBit = 0x8000000000000000ULL;

// Negative values get every bit flipped (reversing their order), the others
// the sign bit set: one xor with a mask spread from the sign bit, no select.
inline uint64_t total_order_key(double v) noexcept {
    const uint64_t b = std::bit_cast<uint64_t>(v);
    return b ^ (static_cast<uint64_t>(static_cast<int64_t>(b) >> 63) | kSignBit);
}

// The double whose key is k.
inline double from_total_order_key(uint64_t k) noexcept {
    return std::bit_cast<double>(k ^ (static_cast<uint64_t>(static_cast<int64_t>(~k) >> 63) | kSignBit));
}

inline bool total_less(double a, double b) noexcept { return total_order_key(a) < total_order_key(b); }

}  // namespace ms::core
