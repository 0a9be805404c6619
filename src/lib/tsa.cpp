// Time-series analysis: autocorrelation, partial autocorrelation and residual
// diagnostics. The bodies clip lag counts and handle empty series; the
// computations are the kernels of src/kernels/tsa.
#include <algorithm>

#include "frame/frame.hpp"
#include "kernels/tsa/acf_pacf.hpp"
#include "kernels/tsa/diagnostics.hpp"

namespace ms {
namespace {

namespace tsa = kernels::tsa;

// No result reaches beyond lag n - 1 (n >= 1).
size_t clip_lags(size_t n, uint64_t nlags) { return static_cast<size_t>(std::min<uint64_t>(n - 1, nlags)); }

Array1<double> acf(Slice x, uint64_t nlags) {
    if (x.empty()) return {};
    return tsa::acf_raw(x, clip_lags(x.size(), nlags));
}

Array1<double> acovf(Slice x, uint64_t nlags) {
    if (x.empty()) return {};
    return tsa::acovf(x, clip_lags(x.size(), nlags));
}

Array1<double> ccf(Slice x, Slice y, uint64_t nlags) {
    if (x.empty() || y.size() != x.size()) return {};
    return tsa::ccf(x, y, clip_lags(x.size(), nlags));
}

std::tuple<Array1<double>, Array1<double>, Array1<double>> acf_with_ci(Slice x, uint64_t nlags, double alpha) {
    if (x.empty()) return {};
    auto b = tsa::acf_with_ci(x, clip_lags(x.size(), nlags), alpha);
    return {std::move(b.acf), std::move(b.lower), std::move(b.upper)};
}

// The frame the four partial-autocorrelation methods share.
template <Buf<double> (*Method)(std::span<const double>, size_t)>
Array1<double> pacf_by(Slice x, uint64_t nlags) {
    if (x.empty()) return {};
    const size_t L = clip_lags(x.size(), nlags);
    if (L == 0) return Buf<double>(1, 1.0);
    return Method(x, L);
}

Array1<double> pacf(Slice x, uint64_t nlags) { return pacf_by<tsa::pacf_durbin_levinson>(x, nlags); }
Array1<double> pacf_yw(Slice x, uint64_t nlags) { return pacf_by<tsa::pacf_yule_walker>(x, nlags); }
Array1<double> pacf_burg(Slice x, uint64_t nlags) { return pacf_by<tsa::pacf_burg>(x, nlags); }
Array1<double> pacf_innovations(Slice x, uint64_t nlags) { return pacf_by<tsa::pacf_innovations>(x, nlags); }

using Pair = std::tuple<double, double>;
Pair pair(tsa::TestResult r) { return {r.statistic, r.pvalue}; }

Pair ljung_box(Slice x, uint64_t lags) { return pair(tsa::ljung_box(x, lags)); }
Pair box_pierce(Slice x, uint64_t lags) { return pair(tsa::box_pierce(x, lags)); }
std::tuple<int64_t, double, double> runs_test(Slice x) {
    const tsa::RunsTest r = tsa::runs_test(x);
    return {r.runs, r.z, r.pvalue};
}
double durbin_watson(Slice x) { return tsa::durbin_watson(x); }
std::optional<uint64_t> acf_zero_crossing(Slice x, uint64_t max_lag) { return tsa::acf_zero_crossing(x, max_lag); }

Result<Pair> bg_test(Slice resid, uint64_t max_lag, std::optional<View2> exog) {
    MS_TRY(r, tsa::bg_test(resid, max_lag, exog ? &*exog : nullptr));
    return pair(r);
}

Family family{
    fn<"ljung_box", &ljung_box>("(x, lags=20)",
                                "Ljung-Box portmanteau test of autocorrelation up to `lags`.\n\n"
                                "ljung_box(x, lags=20) -> (statistic, pvalue)"),
    fn<"durbin_watson", &durbin_watson>("(x)",
                                        "Durbin-Watson statistic of a residual series (not demeaned).\n\n"
                                        "durbin_watson(x) -> scalar in [0,4]"),
    fn<"bg_test", &bg_test>("(resid, max_lag=5, exog=None)",
                            "Breusch-Godfrey LM test of serial correlation in regression residuals.\n\n"
                            "The auxiliary regression runs over the full sample: lagged residuals before\n"
                            "the start of the sample are taken as zero. `exog` holds the regressors of the\n"
                            "model whose residuals are tested, including its constant column; no intercept\n"
                            "is added when it is given. Without `exog` the regression uses an intercept\n"
                            "and the lags. R^2 is taken about the mean when the design has a constant\n"
                            "column, and about zero otherwise.\n\n"
                            "bg_test(resid, max_lag=5, exog=None) -> (statistic, pvalue)"),
    fn<"box_pierce", &box_pierce>("(x, lags=20)",
                                  "Box-Pierce portmanteau test of autocorrelation up to `lags`.\n\n"
                                  "box_pierce(x, lags=20) -> (statistic, pvalue)"),
    fn<"runs_test", &runs_test>("(x)",
                                "Wald-Wolfowitz runs test about the median.\n\n"
                                "runs_test(x) -> (n_runs, z_score, pvalue)"),
    fn<"acf_zero_crossing", &acf_zero_crossing>("(x, max_lag=100)",
                                                "First lag at which the autocorrelation turns non-positive.\n\n"
                                                "acf_zero_crossing(x, max_lag=100) -> Optional[int]"),
    fn<"acf", &acf>("(x, nlags=40)",
                    "Sample autocorrelation function.\n\n"
                    "acf(x, nlags=40) -> 1D array of length nlags+1"),
    fn<"pacf", &pacf>("(x, nlags=40)",
                      "Partial autocorrelation function using Levinson-Durbin recursion\n\n"
                      "pacf(x, nlags=40) -> 1D array"),
    fn<"pacf_yw", &pacf_yw>("(x, nlags=40)",
                            "Fallback to Yule-Walker (for compatibility/testing)\n\n"
                            "Solves one Toeplitz system per order; prefer pacf for long lag ranges.\n\n"
                            "pacf_yw(x, nlags=40) -> 1D array"),
    fn<"acovf", &acovf>("(x, nlags=40)",
                        "Sample autocovariance function (divisor n at every lag).\n\n"
                        "acovf(x, nlags=40) -> 1D array of length nlags+1"),
    fn<"acf_with_ci", &acf_with_ci>("(x, nlags=40, alpha=0.05)",
                                    "Sample autocorrelations with Bartlett confidence bands.\n\n"
                                    "acf_with_ci(x, nlags=40, alpha=0.05) -> (acf, lower, upper)"),
    fn<"ccf", &ccf>("(x, y, nlags=40)",
                    "Cross-correlation function of two series at lags -nlags..nlags.\n\n"
                    "ccf(x, y, nlags=40) -> 1D array of length 2*nlags+1"),
    fn<"pacf_innovations", &pacf_innovations>("(x, nlags=40)",
                                              "Innovations algorithm for PACF (alternative to Levinson-Durbin)\n\n"
                                              "pacf_innovations(x, nlags=40) -> 1D array"),
    fn<"pacf_burg", &pacf_burg>("(x, nlags=40)",
                                "Burg's algorithm for PACF (maximum entropy method)\n\n"
                                "pacf_burg(x, nlags=40) -> 1D array"),
};

}  // namespace
}  // namespace ms
