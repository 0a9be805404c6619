// Numbers in messages.
#pragma once

#include <string>

namespace ms::infer {

// Scientific notation with six digits after the point and a bare exponent:
// 0.25 -> "2.500000e-1", 1234.5 -> "1.234500e3"; "inf", "-inf", "NaN".
std::string sci6(double v);

// Plain decimal notation, never an exponent, with the shortest digits that
// read back as v: 2^-26 -> "0.000000014901161193847656", 1.0 -> "1",
// 1.2345e25 -> "12345000000000000000000000"; "inf", "-inf", "NaN".
std::string plain_decimal(double v);

}  // namespace ms::infer
