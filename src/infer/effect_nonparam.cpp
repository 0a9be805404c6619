#include "infer/effect_nonparam.hpp"

#include <algorithm>
#include <cmath>

#include "infer/common/checks.hpp"
#include "infer/common/order.hpp"
#include "core/radix_sort.hpp"
#include "core/total_order.hpp"

namespace ms::infer {
namespace {

// Both samples non-empty (checked first), then finite: x whole before y.
std::optional<Err> check_pair(std::span<const double> x, std::span<const double> y) {
    if (x.empty() || y.empty()) return value_error("x and y must be non-empty");
    if (auto e = reject_nonfinite(x, "x")) return e;
    return reject_nonfinite(y, "y");
}

// Ascending (no NaN here; -0.0 and +0.0 compare equal and may land either
// way round); large inputs are radix-sorted by their total-order key.
Buf<double> sorted_copy(std::span<const double> v) {
    Buf<double> s = Buf<double>::from(v);
    if (s.size() < core::kRadixFrom)
        std::sort(s.begin(), s.end());
    else
        core::radix_sort_by(s.data(), s.size(), core::total_order_key);
    return s;
}

struct Dominance {
    uint64_t greater = 0, less = 0;  // pairs with x_i > y_j, with x_i < y_j
};

// The pair counts by a merge of the sorted samples rather than over all
// n_x * n_y pairs: for each x, the y values below and above it. The counts
// are exact, so they are those of the pairwise comparison; -0.0 ties +0.0.
Dominance dominance(std::span<const double> x, std::span<const double> y) {
    Buf<double> xs = sorted_copy(x), ys = sorted_copy(y);
    size_t ny = ys.size();
    Dominance d;
    size_t below = 0, not_above = 0;  // y values < v, and <= v
    for (double v : xs) {
        while (below < ny && ys[below] < v) ++below;
        not_above = std::max(not_above, below);
        while (not_above < ny && !(v < ys[not_above])) ++not_above;
        d.greater += below;
        d.less += ny - not_above;
    }
    return d;
}

// Up to this pooled size every partial sum of x's ranks (half-integers below
// 2^51) is exact, so the sum in index order equals the sum formed from the
// dominance counts, whatever the order of additions.
constexpr size_t kExactRankSum = size_t{1} << 26;

}  // namespace

Result<CliffsDelta> cliffs_delta(std::span<const double> x, std::span<const double> y) {
    if (auto e = check_pair(x, y)) return std::move(*e);
    Dominance c = dominance(x, y);
    double delta = (static_cast<double>(c.greater) - static_cast<double>(c.less)) /
                   static_cast<double>(static_cast<uint64_t>(x.size()) * y.size());
    double a = std::fabs(delta);
    const char* mag = a < 0.147 ? "negligible" : a < 0.33 ? "small" : a < 0.474 ? "medium" : "large";
    return CliffsDelta{delta, static_cast<int64_t>(c.greater), static_cast<int64_t>(c.less), mag};
}

Result<RankBiserial> rank_biserial(std::span<const double> x, std::span<const double> y) {
    if (auto e = check_pair(x, y)) return std::move(*e);
    size_t nx = x.size(), ny = y.size();
    double dnx = static_cast<double>(nx), dny = static_cast<double>(ny);
    double r_x = 0.0;
    if (nx + ny <= kExactRankSum) {
        // R_x = n_x(n_x + 1)/2 + #(x > y) + #(x == y)/2, every term exact.
        Dominance c = dominance(x, y);
        uint64_t ties = static_cast<uint64_t>(nx) * ny - c.greater - c.less;
        r_x = (dnx + 1.0) * dnx * 0.5 + static_cast<double>(c.greater) + 0.5 * static_cast<double>(ties);
    } else {
        Buf<double> pooled(nx + ny);
        std::copy(x.begin(), x.end(), pooled.begin());
        std::copy(y.begin(), y.end(), pooled.begin() + static_cast<ptrdiff_t>(nx));
        Buf<double> ranks = rankdata_average(pooled.span());
        for (size_t i = 0; i < nx; ++i) r_x += ranks[i];
    }
    double u = r_x + ((dnx + 1.0) * dnx) * (-0.5);
    return RankBiserial{1.0 - (u + u) / (dnx * dny), u};
}

}  // namespace ms::infer
