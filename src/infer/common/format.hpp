// Numbers in messages.
#pragma once

#include <string>

namespace ms::infer {

// Scientific notation with six digits after the point and a bare exponent:
// 0.25 -> "2.500000e-1", 1234.5 -> "1.234500e3"; "inf", "-inf", "NaN".
std::string sci6(double v);

}  // namespace ms::infer
