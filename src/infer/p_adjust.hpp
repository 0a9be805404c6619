// Multiple-testing adjustment of p-values.
#pragma once

#include <span>
#include <string_view>

#include "core/result.hpp"

namespace ms::infer {

// Each kernel takes n >= 1 validated p-values and returns the adjusted
// values in input order.
Buf<double> bonferroni(std::span<const double> p);
Buf<double> holm(std::span<const double> p);
Buf<double> benjamini_hochberg(std::span<const double> p);

// Validates the p-values, then the method name (matched after lower-casing).
Result<Buf<double>> p_adjust(std::span<const double> p, std::string_view method);

}  // namespace ms::infer
