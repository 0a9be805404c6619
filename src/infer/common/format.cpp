#include "infer/common/format.hpp"

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

}  // namespace ms::infer
