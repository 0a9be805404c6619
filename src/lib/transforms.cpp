// Array transforms: cumulative sums, lagged differences, smoothing, scaling,
// signs, the empirical distribution, equal-count bins, NaN padding and the
// Gaussian kernel density estimate.
#include <cmath>
#include <cstdint>
#include <limits>

#include "frame/frame.hpp"
#include "kernels/transform/kde.hpp"
#include "kernels/transform/transforms.hpp"

namespace ms {
namespace {

namespace k = kernels::transform;

Array1<double> cumsum_np(Slice a) {
    Buf<double> out(a.size());
    k::running_sum(a, out.data(), false);
    return out;
}

Array1<double> cummean_np(Slice a) {
    Buf<double> out(a.size());
    k::running_sum(a, out.data(), true);
    return out;
}

Array1<double> diff_np(Slice a, int64_t periods) {
    Buf<double> out(a.size());
    k::diff(a, periods, out.data());
    return out;
}

Array1<double> pct_change_np(Slice a, int64_t periods) {
    Buf<double> out(a.size());
    k::pct_change(a, periods, out.data());
    return out;
}

Result<Array1<double>> ewma_np(const View1& a, double alpha) {
    if (!(alpha > 0.0 && alpha <= 1.0)) return value_error("alpha must satisfy 0 < alpha <= 1");
    MS_TRY(x, require_contiguous(a));
    Buf<double> out(x.size());
    k::ewma(x, alpha, out.data());
    return Array1<double>(std::move(out));
}

std::tuple<Array1<double>, double, double> minmax_scale_np(Slice a) {
    Buf<double> out(a.size());
    k::MinMax mm = k::minmax_scale(a, out.data());
    return {std::move(out), mm.lo, mm.hi};
}

Array1<int8_t> sign_mask_np(Slice a) {
    Buf<int8_t> out(a.size());
    k::sign_mask(a, out.data());
    return out;
}

std::tuple<Array1<double>, Array1<int8_t>> demean_with_signs_np(Slice a) {
    Buf<double> d(a.size());
    Buf<int8_t> s(a.size());
    k::demean_with_signs(a, d.data(), s.data());
    return {std::move(d), std::move(s)};
}

std::tuple<Array1<double>, Array1<double>> ecdf_np(Slice a) {
    Buf<double> sorted(a.size()), prob(a.size());
    k::ecdf(a, sorted.data(), prob.data());
    return {std::move(sorted), std::move(prob)};
}

Result<Array1<int64_t>> quantile_bins_np(const View1& a, uint64_t n_bins) {
    if (n_bins == 0) return value_error("n_bins must be >= 1");
    MS_TRY(x, require_contiguous(a));
    Buf<int64_t> out(x.size());
    if (x.empty()) return Array1<int64_t>(std::move(out));
    // The last rank always gets label n_bins - 1.
    if (n_bins - 1 > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return overflow_error("n_bins is too large: bin labels must fit in int64");
    if (x.size() <= std::numeric_limits<uint32_t>::max())
        k::quantile_bins<uint32_t>(x, n_bins, out.data());
    else
        k::quantile_bins<uint64_t>(x, n_bins, out.data());
    return Array1<int64_t>(std::move(out));
}

Array1<double> pad_nan_np(uint64_t n) { return Buf<double>(n, kNaN); }

Result<std::tuple<Array1<double>, Array1<double>>> kde_gaussian_np(Slice x, uint64_t points,
                                                                   std::optional<double> bandwidth) {
    if (points == 0) return value_error("points must be >= 1");
    if (x.empty()) return value_error("x must have at least 1 element");
    for (double v : x)
        if (!std::isfinite(v)) return value_error("x contains NaN or Inf");
    if (bandwidth && (!(*bandwidth > 0.0) || !std::isfinite(*bandwidth)))
        return value_error("bandwidth must be a positive finite number");
    Buf<double> grid(points), density(points), scratch(x.size());
    if (!k::kde_gaussian_in_unit(x, bandwidth, points, scratch.data(), grid.data(), density.data()))
        return value_error("cannot infer a bandwidth from constant or singleton data; pass bandwidth explicitly");
    return std::tuple<Array1<double>, Array1<double>>{std::move(grid), std::move(density)};
}

constexpr const char* kKdeDoc =
    "Gaussian kernel density estimate evaluated on a regular grid.\n"
    "\n"
    "The bandwidth defaults to Scott's rule, n**(-1/5) times the sample standard\n"
    "deviation (the common 1-D default); pass a positive finite `bandwidth` to\n"
    "set it. The grid spans [min(x) - 3h, max(x) + 3h] with `points` evenly\n"
    "spaced samples. Returns the pair (grid, density).";

Family family{
    fn<"ewma_np", &ewma_np>("(a, alpha)"),
    fn<"minmax_scale_np", &minmax_scale_np>("(a)"),
    fn<"diff_np", &diff_np>("(a, periods=1)"),
    fn<"pct_change_np", &pct_change_np>("(a, periods)"),
    fn<"cumsum_np", &cumsum_np>("(a)"),
    fn<"cummean_np", &cummean_np>("(a)"),
    fn<"ecdf_np", &ecdf_np>("(a)"),
    fn<"quantile_bins_np", &quantile_bins_np>("(a, n_bins)"),
    fn<"sign_mask_np", &sign_mask_np>("(a)"),
    fn<"demean_with_signs_np", &demean_with_signs_np>("(a)"),
    fn<"kde_gaussian_np", &kde_gaussian_np>("(x, points=200, bandwidth=None)", kKdeDoc),
    fn<"pad_nan_np", &pad_nan_np>("(n)"),
};

}  // namespace
}  // namespace ms
