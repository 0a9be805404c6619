#include "infer/effect_nonparam.hpp"

#include <algorithm>
#include <cmath>

#include "infer/common.hpp"

namespace ms::infer {
namespace {

// Both samples non-empty (checked first), then finite: x whole before y.
std::optional<Err> check_pair(std::span<const double> x, std::span<const double> y) {
    if (x.empty() || y.empty()) return value_error("x and y must be non-empty");
    if (auto e = reject_nonfinite(x, "x")) return e;
    return reject_nonfinite(y, "y");
}

Buf<double> sorted_copy(std::span<const double> v) {
    Buf<double> s = Buf<double>::from(v);
    std::sort(s.begin(), s.end());
    return s;
}

}  // namespace

Result<CliffsDelta> cliffs_delta(std::span<const double> x, std::span<const double> y) {
    if (auto e = check_pair(x, y)) return std::move(*e);
    // The pair counts by a merge of the sorted samples rather than over all
    // n_x * n_y pairs: for each x, the y values below and above it. The
    // counts are exact, so the result is that of the pairwise comparison.
    Buf<double> xs = sorted_copy(x), ys = sorted_copy(y);
    size_t nx = xs.size(), ny = ys.size();
    uint64_t greater = 0, less = 0;
    size_t below = 0, not_above = 0;  // y values < xs[i], and <= xs[i]
    for (size_t i = 0; i < nx; ++i) {
        double v = xs[i];
        while (below < ny && ys[below] < v) ++below;
        if (not_above < below) not_above = below;
        while (not_above < ny && !(v < ys[not_above])) ++not_above;
        greater += below;
        less += ny - not_above;
    }
    double delta = (static_cast<double>(greater) - static_cast<double>(less)) /
                   static_cast<double>(static_cast<uint64_t>(nx) * ny);
    double a = std::fabs(delta);
    const char* mag = a < 0.147 ? "negligible" : a < 0.33 ? "small" : a < 0.474 ? "medium" : "large";
    return CliffsDelta{delta, static_cast<int64_t>(greater), static_cast<int64_t>(less), mag};
}

Result<RankBiserial> rank_biserial(std::span<const double> x, std::span<const double> y) {
    if (auto e = check_pair(x, y)) return std::move(*e);
    size_t nx = x.size(), ny = y.size();
    Buf<double> pooled(nx + ny);
    std::copy(x.begin(), x.end(), pooled.begin());
    std::copy(y.begin(), y.end(), pooled.begin() + static_cast<ptrdiff_t>(nx));
    Buf<double> ranks = rankdata_average(std::span<const double>(pooled.data(), pooled.size()));
    double r_x = 0.0;
    for (size_t i = 0; i < nx; ++i) r_x += ranks[i];
    double dnx = static_cast<double>(nx), dny = static_cast<double>(ny);
    double u = r_x + ((dnx + 1.0) * dnx) * (-0.5);
    return RankBiserial{1.0 - (u + u) / (dnx * dny), u};
}

}  // namespace ms::infer
