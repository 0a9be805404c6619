// The walk over the arrays of a `groups` argument shared by the tests of
// several groups.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/result.hpp"

namespace ms::infer {

struct GroupWalk {
    std::vector<std::span<const double>> spans;  // the groups that passed
    std::vector<double> sums;                    // their plain sums
    double big = 0.0;                            // their largest magnitude
    std::optional<Err> err;                      // the first failing group's error
};

// Each group in order must be contiguous (TypeError), hold at least `min_n`
// values (ValueError `size_msg`) and hold no NaN or infinity (named "group").
// The walk stops at the first failing group and keeps its error instead of
// returning it, so a test whose own checks on the earlier groups come first
// can still report those.
GroupWalk walk_groups(std::span<const View1> groups, size_t min_n, const char* size_msg);

}  // namespace ms::infer
