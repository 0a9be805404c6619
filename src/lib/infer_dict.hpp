// Result dicts of the tests: keys in a fixed order, beginning with the
// statistic and its p-value.
#pragma once

#include "frame/frame.hpp"

namespace ms {

inline Dict test_dict(double statistic, double pvalue) {
    Dict d;
    d.items.reserve(8);
    d.add("statistic", statistic).add("pvalue", pvalue);
    return d;
}

}  // namespace ms
