#include "infer/common/groups.hpp"

#include <cmath>

#include "infer/common/checks.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {

GroupWalk walk_groups(std::span<const View1> groups, size_t min_n, const char* size_msg) {
    GroupWalk w;
    w.spans.reserve(groups.size());
    // Shape checks first, then all sums side by side, then the finiteness of
    // each group in order: the first failure in the per-group order wins.
    for (const View1& v : groups) {
        if (!v.contiguous()) {
            w.err = not_contiguous_error();
            break;
        }
        if (v.n < min_n) {
            w.err = value_error(size_msg);
            break;
        }
        w.spans.push_back(v.span());
    }
    w.sums.resize(w.spans.size());
    // The usual few groups keep their magnitudes on the stack.
    double few[16];
    std::vector<double> many(w.spans.size() > 16 ? w.spans.size() : 0);
    double* bigs = many.empty() ? few : many.data();
    plain_sums(w.spans, w.sums.data(), bigs);
    for (size_t i = 0; i < w.spans.size(); ++i) {
        if (std::isfinite(w.sums[i]) || all_finite(w.spans[i])) {
            w.big = std::fmax(w.big, bigs[i]);
            continue;
        }
        w.err = nonfinite_error("group");
        w.spans.resize(i);
        w.sums.resize(i);
        break;
    }
    return w;
}

}  // namespace ms::infer
