// Time-series rolling statistics: window autocorrelation and correlation,
// extrema, coefficient of variation and threshold counts. The bodies check
// the window and lags; the computations are the kernels of src/kernels/tsa.
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "kernels/tsa/rolling.hpp"
#include "kernels/tsa/rolling_autocorr.hpp"

namespace ms {
namespace {

Result<Array2> rolling_autocorr_multi(Slice x, const std::vector<uint64_t>& lags, uint64_t window) {
    if (window == 0) return value_error("window must be >= 1");
    for (uint64_t lag : lags)
        if (lag >= window)
            return value_error("all lags must be smaller than window, got lag=" + std::to_string(lag));
    if (x.size() < window) return Array2{Buf<double>(0), 0, lags.size()};
    const size_t w = static_cast<size_t>(window);
    return Array2{kernels::tsa::rolling_autocorr_multi(x, lags, w), x.size() - w + 1, lags.size()};
}

Result<Array1<double>> rolling_autocorr(Slice x, uint64_t lag, uint64_t window) {
    if (window == 0) return value_error("window must be >= 1");
    if (lag >= window) return value_error("lag must be smaller than window");
    if (x.size() < window) return Array1<double>{};
    const uint64_t lags[1] = {lag};
    return Array1<double>(kernels::tsa::rolling_autocorr_multi(x, lags, static_cast<size_t>(window)));
}

Result<Array1<double>> rolling_correlation(Slice x, Slice y, uint64_t window) {
    if (x.size() != y.size()) return value_error("x and y must have same length");
    if (window == 0) return value_error("window must be >= 1");
    if (x.size() < window) return Array1<double>{};
    return Array1<double>(kernels::tsa::rolling_correlation(x, y, static_cast<size_t>(window)));
}

// The window rule the extrema, CV and count functions share.
template <class F>
Result<Array1<double>> windowed(Slice x, uint64_t window, F f) {
    if (window == 0) return value_error("window must be >= 1");
    if (x.size() < window) return Array1<double>{};
    return Array1<double>(f(static_cast<size_t>(window)));
}

Result<Array1<double>> rolling_min(Slice x, uint64_t window) {
    return windowed(x, window, [&](size_t w) { return kernels::tsa::rolling_min(x, w); });
}
Result<Array1<double>> rolling_max(Slice x, uint64_t window) {
    return windowed(x, window, [&](size_t w) { return kernels::tsa::rolling_max(x, w); });
}
Result<Array1<double>> rolling_range(Slice x, uint64_t window) {
    return windowed(x, window, [&](size_t w) { return kernels::tsa::rolling_range(x, w); });
}
Result<Array1<double>> rolling_cv(Slice x, uint64_t window) {
    return windowed(x, window, [&](size_t w) { return kernels::tsa::rolling_cv(x, w); });
}
Result<Array1<double>> rolling_count_above(Slice x, double threshold, uint64_t window) {
    return windowed(x, window, [&](size_t w) { return kernels::tsa::rolling_count_above(x, threshold, w, 1.0); });
}
Result<Array1<double>> rolling_pct_above(Slice x, double threshold, uint64_t window) {
    return windowed(x, window, [&](size_t w) {
        return kernels::tsa::rolling_count_above(x, threshold, w, static_cast<double>(w));
    });
}

Family family{
    fn<"rolling_autocorr", &rolling_autocorr>(
        "(x, lag=1, window=50)",
        "Rolling lag-k autocorrelation inside each window.\n\n"
        "rolling_autocorr(x, lag=1, window=50) -> 1D array of length n-window+1"),
    fn<"rolling_correlation", &rolling_correlation>(
        "(x, y, window=50)",
        "Rolling Pearson correlation of two series inside each window.\n\n"
        "rolling_correlation(x, y, window=50) -> 1D array of length n-window+1"),
    fn<"rolling_autocorr_multi", &rolling_autocorr_multi>(
        "(x, lags, window=50)",
        "Rolling autocorrelation at several lags; each column is the rolling autocorrelation at one lag.\n\n"
        "rolling_autocorr_multi(x, lags, window=50) -> 2D array of shape (n-window+1, len(lags))"),
    fn<"rolling_min", &rolling_min>("(x, window=20)",
                                    "Rolling minimum using monotonic deque (O(1) amortized)\n\n"
                                    "rolling_min(x, window=20)"),
    fn<"rolling_max", &rolling_max>("(x, window=20)",
                                    "Rolling maximum using monotonic deque (O(1) amortized)\n\n"
                                    "rolling_max(x, window=20)"),
    fn<"rolling_range", &rolling_range>("(x, window=20)",
                                        "Rolling range (max - min) using two monotonic deques\n\n"
                                        "rolling_range(x, window=20)"),
    fn<"rolling_cv", &rolling_cv>("(x, window=20)",
                                  "Rolling coefficient of variation (std / mean) using Welford\n\n"
                                  "rolling_cv(x, window=20)"),
    fn<"rolling_count_above", &rolling_count_above>("(x, threshold=0.0, window=20)",
                                                    "Rolling count of values above threshold (O(1) updates)\n\n"
                                                    "rolling_count_above(x, threshold=0.0, window=20)"),
    fn<"rolling_pct_above", &rolling_pct_above>("(x, threshold=0.0, window=20)",
                                                "Rolling percent above threshold (O(1) updates)\n\n"
                                                "rolling_pct_above(x, threshold=0.0, window=20)"),
};

}  // namespace
}  // namespace ms
