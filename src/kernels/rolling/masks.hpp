// The set of statistics one fused rolling call computes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace ms::kernels::rolling {

// Indices into the fused kernel's output buffers; bit i of a mask is stat i.
enum Stat : unsigned { kMean = 0, kStd = 1, kVar = 2, kCount = 3, kMin = 4, kMax = 5, kNumStats = 6 };

inline constexpr std::string_view kStatNames[kNumStats] = {"mean", "std", "var", "count", "min", "max"};

// The stat a lower-cased name denotes exactly, or kNumStats.
inline unsigned stat_index(std::string_view name) noexcept {
    for (unsigned i = 0; i < kNumStats; ++i)
        if (kStatNames[i] == name) return i;
    return kNumStats;
}

// Code point of the UTF-8 sequence starting at s[i]; its length in len.
inline uint32_t utf8_at(std::string_view s, size_t i, size_t& len) noexcept {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        len = 1;
        return b;
    }
    len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    if (i + len > s.size()) {
        len = 1;
        return 0xFFFD;
    }
    uint32_t cp = b & (0x3F >> (len - 1));
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

// Unicode White_Space property.
inline bool is_white_space(uint32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// s without White_Space characters at either end.
inline std::string_view trim_white_space(std::string_view s) noexcept {
    size_t b = 0, len = 0;
    while (b < s.size() && is_white_space(utf8_at(s, b, len))) b += len;
    size_t e = s.size();
    while (e > b) {
        size_t start = e - 1;
        while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        if (!is_white_space(utf8_at(s, start, len))) break;
        e = start;
    }
    return s.substr(b, e - b);
}

struct StatsMask {
    uint32_t bits = 0;

    bool has(unsigned stat) const noexcept { return (bits >> stat) & 1u; }

    // Parses comma-separated names: each trimmed of white space, then folded
    // to lower case by `lower` (std::string_view -> Result<std::string>, the
    // full Unicode mapping); empty names are skipped.
    template <class Lower>
    static Result<StatsMask> from_str_list(std::string_view text, Lower&& lower) {
        StatsMask m;
        for (;;) {
            size_t comma = text.find(',');
            std::string_view token = trim_white_space(text.substr(0, comma));
            if (!token.empty()) {
                MS_TRY(name, lower(token));
                unsigned i = stat_index(name);
                if (i == kNumStats) return value_error("Unknown stat: " + name);
                m.bits |= 1u << i;
            }
            if (comma == std::string_view::npos) break;
            text.remove_prefix(comma + 1);
        }
        if (m.bits == 0) return value_error("No valid statistics specified");
        return m;
    }
};

}  // namespace ms::kernels::rolling
