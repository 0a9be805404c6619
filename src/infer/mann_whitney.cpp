#include "infer/mann_whitney.hpp"

#include <algorithm>
#include <cmath>

#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/std_normal.hpp"
#include "core/radix_sort.hpp"
#include "core/total_order.hpp"

namespace ms::infer {
namespace {

// Rank sum of x's members in the pooled sample and the tie sum of t^3 - t.
// Each sample is sorted on its own and the two are merged run by run: a run
// is every pooled value equal to the smallest remaining one (adding 0.0 maps
// -0.0 to +0.0, so key equality is == on these finite values). x's members
// of a run add the run's average rank one at a time, as a walk over the
// pooled sorted sample would.
struct RankSums {
    double r1 = 0.0, ties = 0.0;
};

RankSums rank_sums(std::span<const double> x, std::span<const double> y) {
    Buf<uint64_t> kx = core::sorted_total_keys(x.size(), [x](size_t i) { return x[i] + 0.0; });
    Buf<uint64_t> ky = core::sorted_total_keys(y.size(), [y](size_t i) { return y[i] + 0.0; });
    size_t n1 = kx.size(), n2 = ky.size(), i = 0, j = 0;
    double r = 1.0;  // 1-based rank where the run starts
    RankSums s;
    while (i < n1 || j < n2) {
        uint64_t v = i == n1 ? ky[j] : j == n2 ? kx[i] : std::min(kx[i], ky[j]);
        size_t cx = 0, cy = 0;
        while (i < n1 && kx[i] == v) ++i, ++cx;
        while (j < n2 && ky[j] == v) ++j, ++cy;
        double t = static_cast<double>(cx + cy);
        double rank = (r + (r + t - 1.0)) * 0.5;
        for (size_t c = 0; c < cx; ++c) s.r1 += rank;
        if (cx + cy > 1) s.ties += t * t * t - t;
        r += t;
    }
    return s;
}

}  // namespace

Result<MannWhitney> mann_whitney_u(std::span<const double> x, std::span<const double> y,
                                   std::string_view alternative) {
    if (x.empty() || y.empty()) return value_error("x and y must be non-empty");
    if (auto e = reject_nonfinite(x, "x")) return std::move(*e);
    if (auto e = reject_nonfinite(y, "y")) return std::move(*e);
    MS_TRY(alt, Alternative::from_str(alternative));

    RankSums s = rank_sums(x, y);
    double n1 = static_cast<double>(x.size()), n2 = static_cast<double>(y.size());
    double big_n = n1 + n2;
    double u1 = s.r1 - n1 * (n1 + 1.0) / 2.0;
    double u2 = n1 * n2 - u1;
    double nn1 = big_n * (big_n - 1.0);
    double tau = std::isfinite(s.ties) && nn1 > 0.0 ? s.ties / nn1 : 0.0;
    double var = n1 * n2 / 12.0 * ((big_n + 1.0) - tau);
    double d = u1 - n1 * n2 / 2.0;
    double cc;
    switch (alt.kind) {
        case Alternative::Less: cc = -0.5; break;
        case Alternative::Greater: cc = 0.5; break;
        default: cc = d > 0.0 ? 0.5 : d < 0.0 ? -0.5 : 0.0; break;
    }
    double z = var > 0.0 ? (d - cc) / std::sqrt(var) : 0.0;
    switch (alt.kind) {
        case Alternative::Less: return MannWhitney{u1, clamp_p(std_normal_cdf(z))};
        case Alternative::Greater: return MannWhitney{u1, clamp_p(std_normal_sf(z))};
        default: return MannWhitney{std::min(u1, u2), clamp_p(2.0 * std_normal_sf(std::fabs(z)))};
    }
}

}  // namespace ms::infer
