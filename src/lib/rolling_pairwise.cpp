// Rolling covariance, correlation, slope and regression line of two series.
#include <cstdint>
#include <tuple>

#include "frame/frame.hpp"
#include "kernels/rolling/pairwise.hpp"

namespace ms {
namespace {

namespace r = kernels::rolling;

using Kernel = void (*)(std::span<const double>, std::span<const double>, size_t, double*);

// Lengths, then the window; a series shorter than the window gives no entries.
Result<size_t> windows(Slice x, Slice y, uint64_t window, const char* mismatch) {
    if (x.size() != y.size()) return value_error(mismatch);
    if (window == 0) return value_error("window must be >= 1");
    return x.size() >= window ? static_cast<size_t>(x.size() - window + 1) : size_t{0};
}

template <Kernel K, bool Plain>
Result<Array1<double>> one(Slice x, Slice y, uint64_t window) {
    MS_TRY(L, windows(x, y, window, Plain ? "x and y must have the same length" : "length mismatch"));
    Buf<double> out(L);
    if (L) K(x, y, window, out.data());
    return Array1<double>(std::move(out));
}

Result<Array1<double>> rolling_cov_np(Slice x, Slice y, uint64_t w) {
    return one<r::rolling_cov_pairs, true>(x, y, w);
}
Result<Array1<double>> rolling_corr_np(Slice x, Slice y, uint64_t w) {
    return one<r::rolling_corr_pairs, true>(x, y, w);
}
Result<Array1<double>> rolling_cov_nan_np(Slice x, Slice y, uint64_t w) {
    return one<r::rolling_cov_usable, false>(x, y, w);
}
Result<Array1<double>> rolling_corr_nan_np(Slice x, Slice y, uint64_t w) {
    return one<r::rolling_corr_usable, false>(x, y, w);
}
Result<Array1<double>> rolling_cov_skipna(Slice x, Slice y, uint64_t w) { return rolling_cov_nan_np(x, y, w); }
Result<Array1<double>> rolling_corr_skipna(Slice x, Slice y, uint64_t w) { return rolling_corr_nan_np(x, y, w); }

void slopes_only(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    r::rolling_line_usable(x, y, w, out, nullptr);
}
Result<Array1<double>> rolling_beta_skipna(Slice x, Slice y, uint64_t w) {
    return one<slopes_only, false>(x, y, w);
}

Result<std::tuple<Array1<double>, Array1<double>>> rolling_linreg_skipna(Slice x, Slice y, uint64_t window) {
    MS_TRY(L, windows(x, y, window, "length mismatch"));
    Buf<double> slope(L), intercept(L);
    if (L) r::rolling_line_usable(x, y, window, slope.data(), intercept.data());
    return std::tuple<Array1<double>, Array1<double>>(std::move(slope), std::move(intercept));
}

Family family{
    fn<"rolling_cov_np", &rolling_cov_np>("(x, y, window)"),
    fn<"rolling_corr_np", &rolling_corr_np>("(x, y, window)"),
    fn<"rolling_cov_nan_np", &rolling_cov_nan_np>("(x, y, window)"),
    fn<"rolling_corr_nan_np", &rolling_corr_nan_np>("(x, y, window)"),
    fn<"rolling_cov_skipna", &rolling_cov_skipna>("(x, y, window)"),
    fn<"rolling_corr_skipna", &rolling_corr_skipna>("(x, y, window)"),
    fn<"rolling_beta_skipna", &rolling_beta_skipna>("(x, y, window)"),
    fn<"rolling_linreg_skipna", &rolling_linreg_skipna>("(x, y, window)"),
};

}  // namespace
}  // namespace ms
