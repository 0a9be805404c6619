#include "infer/common/format.hpp"

#include <charconv>
#include <system_error>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ms::infer {

std::string sci6(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6e", v);  // d.dddddde[+-]XX, correctly rounded
    char* e = std::strchr(buf, 'e');
    long exp = std::strtol(e + 1, nullptr, 10);
    return std::string(buf, e) + "e" + std::to_string(exp);
}

std::string plain_decimal(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // The shortest digits come from the scientific form: the fixed form has
    // as many characters whatever digits it ends in, and so spells out the
    // exact binary value of a large number (1.2345e25 as
    // 12344999999999999704301568).
    char buf[32];  // "-d.dddddddddddddddde-308" and a terminator at most
    const auto res = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific);
    if (res.ec != std::errc()) return "NaN";
    *res.ptr = '\0';
    const char* e = std::strchr(buf, 'e');
    if (e == nullptr) return "NaN";
    // buf is [-]d[.ddd]e(+|-)xx; v = 0.digits x 10^point.
    const bool negative = buf[0] == '-';
    std::string digits;
    for (const char* c = buf + negative; c < e; ++c)
        if (*c != '.') digits.push_back(*c);
    const long point = std::strtol(e + 1, nullptr, 10) + 1;
    const long n = static_cast<long>(digits.size());
    std::string out(negative ? 1 : 0, '-');
    if (point <= 0) {
        out.append("0.").append(static_cast<size_t>(-point), '0').append(digits);
    } else if (point >= n) {
        out.append(digits).append(static_cast<size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<size_t>(point)).append(1, '.').append(digits, static_cast<size_t>(point));
    }
    return out;
}

}  // namespace ms::infer
