#include "infer/anova.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "core/dist.hpp"
#include "core/unit.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/groups.hpp"
#include "infer/common/order.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"

namespace ms::infer {
namespace {

// F from the mean squares, and its upper-tail p-value.
std::pair<double, double> f_ratio(double ms_b, double ms_w, double df_b, double df_w) noexcept {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double f;
    if (std::isnan(ms_b) || std::isnan(ms_w))
        f = std::numeric_limits<double>::quiet_NaN();
    else if (ms_w > 0.0)
        f = ms_b / ms_w;
    else
        f = ms_b == 0.0 ? 0.0 : kInf;
    double p;
    if (std::isfinite(f) && f >= 0.0)
        p = upper_tail_p(core::f_cdf(f, df_b, df_w));
    else if (f == kInf)
        p = 0.0;
    else
        p = std::numeric_limits<double>::quiet_NaN();
    return {f, p};
}

}  // namespace

FOneway oneway_from_sums(std::span<const std::span<const double>> groups, std::span<const double> sums) {
    size_t k = groups.size();
    size_t total = 0;
    double grand = 0.0;
    for (size_t i = 0; i < k; ++i) {
        total += groups[i].size();
        grand += sums[i];
    }
    double g = grand / static_cast<double>(total);
    std::vector<double> means(k), ss(k);
    double ss_b = 0.0;
    for (size_t i = 0; i < k; ++i) {
        double ni = static_cast<double>(groups[i].size());
        means[i] = sums[i] / ni;
        double d = means[i] - g;
        ss_b += ni * (d * d);
    }
    kahan_ss_many(groups, means.data(), ss.data());
    double ss_w = 0.0;
    for (size_t i = 0; i < k; ++i) ss_w += ss_or_zero(ss[i], means[i], groups[i]);
    // Groups of one common value still differ in their rounded means.
    ss_b = ss_or_zero(ss_b, g, groups, total);
    double df_b = static_cast<double>(k - 1), df_w = static_cast<double>(total - k);
    auto [f, p] = f_ratio(ss_b / df_b, ss_w / df_w, df_b, df_w);
    return FOneway{f, p, df_b, df_w};
}

Result<FOneway> f_test_oneway(std::span<const View1> groups) {
    if (groups.size() < 2) return value_error("f_test_oneway requires at least 2 groups");
    GroupWalk w = walk_groups(groups, 2, "each group must have at least 2 observations");
    if (w.err) return std::move(*w.err);
    SamplesInUnit s(w.spans, w.sums, w.big);
    return oneway_from_sums(s.spans(), s.sums());
}

Result<FOneway> levene_test(std::span<const View1> groups) {
    if (groups.size() < 2) return value_error("levene_test requires at least 2 groups");
    std::vector<std::span<const double>> xs;
    xs.reserve(groups.size());
    size_t total = 0;
    double big = 0.0;
    for (const View1& v : groups) {
        if (!v.contiguous()) return not_contiguous_error();
        if (v.n == 0) return value_error("each group must be non-empty");
        std::span<const double> x = v.span();
        if (auto e = reject_nonfinite(x, "group")) return std::move(*e);
        big = std::fmax(big, core::max_magnitude(x));
        xs.push_back(x);
        total += x.size();
    }
    if (total == groups.size()) return value_error("insufficient degrees of freedom");
    // Medians and deviations of data beyond the plain range are taken in
    // their unit: the mean of two middle values near the largest doubles
    // overflows, and deviations near the smallest vanish.
    SamplesInUnit s(xs, {}, big);
    std::vector<Buf<double>> devs;
    devs.reserve(xs.size());
    for (std::span<const double> x : s.spans()) {
        double med = median(x);
        Buf<double> dev(x.size());
        for (size_t i = 0; i < x.size(); ++i) dev[i] = std::fabs(x[i] - med);
        devs.push_back(std::move(dev));
    }
    std::vector<std::span<const double>> spans(devs.begin(), devs.end());
    std::vector<double> sums(spans.size());
    plain_sums(spans, sums.data());
    return oneway_from_sums(spans, sums);
}

}  // namespace ms::infer
