// Time-series analysis: unit-root and stationarity tests. The computations are
// the kernels of src/kernels/tsa/stationarity.
#include "frame/frame.hpp"
#include "kernels/tsa/stationarity.hpp"

namespace ms {
namespace {

namespace tsa = kernels::tsa;

using Pair = std::tuple<double, double>;
using Verdict = std::tuple<double, double, bool>;

Result<Pair> pair(Result<tsa::TestResult> r) {
    MS_TRY(t, std::move(r));
    return Pair{t.statistic, t.pvalue};
}
Verdict verdict(tsa::StationarityVerdict v) { return {v.statistic, v.pvalue, v.stationary}; }

Result<Pair> adf_test(Slice x, Str regression, std::optional<uint64_t> max_lag) {
    return pair(tsa::adf_test(x, regression, max_lag));
}
Result<Pair> pp_test(Slice x, Str regression) { return pair(tsa::pp_test(x, regression)); }
Result<Pair> kpss_test(Slice x, Str regression, std::optional<uint64_t> max_lag) {
    return pair(tsa::kpss_test(x, regression, max_lag));
}
Verdict trend_stationarity_test(Slice x) { return verdict(tsa::trend_stationarity_test(x)); }
Verdict seasonal_diff_test(Slice x, uint64_t period) { return verdict(tsa::seasonal_diff_test(x, period)); }
std::tuple<bool, bool, double, double> integration_order_test(Slice x) {
    const tsa::IntegrationOrder r = tsa::integration_order_test(x);
    return {r.is_i0, r.is_i1, r.adf_level, r.adf_diff1};
}

// A list of (lag, stat, pvalue) tuples.
Owned seasonal_unit_root_test(Slice x, uint64_t period) {
    auto entries = tsa::seasonal_unit_root_test(x, period);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
    if (!list) return Owned{nullptr};
    for (size_t i = 0; i < entries.size(); ++i) {
        const tsa::SeasonalRoot& e = entries[i];
        PyObject* t = to_py(std::tuple<int64_t, double, double>{e.lag, e.statistic, e.pvalue});
        if (!t) {
            Py_DECREF(list);
            return Owned{nullptr};
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
    }
    return Owned{list};
}

std::tuple<double, int64_t, double> zivot_andrews_test(Slice x, std::optional<uint64_t> max_lag) {
    const tsa::ZivotAndrews r = tsa::zivot_andrews_test(x, max_lag);
    return {r.min_stat, r.breakpoint, r.pvalue};
}
std::tuple<double, double, double> variance_ratio_test(Slice x, uint64_t lags) {
    const tsa::VarianceRatio r = tsa::variance_ratio_test(x, lags);
    return {r.vr, r.z_score, r.pvalue};
}

Family family{
    fn<"adf_test", &adf_test>("(x, regression=\"c\", max_lag=None)",
                              "Augmented Dickey-Fuller unit-root test.\n\n"
                              "regression: \"c\" (constant, the default), \"ct\" (constant and linear trend)\n"
                              "or \"n\"/\"nc\" (no deterministic term).\n"
                              "max_lag: the number of lagged differences added to the regression; None or 0\n"
                              "gives the plain Dickey-Fuller test (no automatic lag selection).\n\n"
                              "adf_test(x, regression=\"c\", max_lag=None) -> (statistic, pvalue)"),
    fn<"kpss_test", &kpss_test>("(x, regression=\"c\", max_lag=None)",
                                "KPSS test of level (\"c\") or trend (\"ct\") stationarity.\n\n"
                                "max_lag: the Bartlett bandwidth of the long-run variance; None chooses it\n"
                                "from the data. The p-value is interpolated in [0.01, 0.10].\n\n"
                                "kpss_test(x, regression=\"c\", max_lag=None) -> (statistic, pvalue)"),
    fn<"pp_test", &pp_test>("(x, regression=\"c\")",
                            "Simplified Phillips-Perron unit-root test (Bartlett long-run variance).\n\n"
                            "pp_test(x, regression=\"c\") -> (statistic, pvalue)"),
    fn<"variance_ratio_test", &variance_ratio_test>(
        "(x, lags=2)",
        "Variance-ratio test of the random-walk hypothesis: the variance of q-period\n"
        "returns against that of 1-period returns (x holds the 1-period returns).\n\n"
        "variance_ratio_test(x, lags=2) -> (vr, z_score, pvalue)"),
    fn<"zivot_andrews_test", &zivot_andrews_test>(
        "(x, max_lag=None)",
        "Zivot-Andrews unit-root test allowing one structural break in both level\n"
        "and trend (intercept and trend shift). Only breaks whose regression has full\n"
        "rank are searched; when none can be fitted the result is (nan, trim, nan).\n\n"
        "zivot_andrews_test(x, max_lag=None) -> (min_stat, breakpoint, pvalue)"),
    fn<"trend_stationarity_test", &trend_stationarity_test>(
        "(x)",
        "Test for trend stationarity (linear detrending + KPSS).\n\n"
        "trend_stationarity_test(x) -> (stat, pvalue, is_stationary)"),
    fn<"integration_order_test", &integration_order_test>(
        "(x)",
        "Order of integration from Dickey-Fuller tests on the level and the first\n"
        "difference.\n\n"
        "integration_order_test(x) -> (is_i0, is_i1, adf_level, adf_diff1)"),
    fn<"seasonal_diff_test", &seasonal_diff_test>(
        "(x, period=12)",
        "Seasonal differencing test: Dickey-Fuller on x[t + period] - x[t].\n\n"
        "seasonal_diff_test(x, period=12) -> (stat, pvalue, is_stationary)"),
    fn<"seasonal_unit_root_test", &seasonal_unit_root_test>(
        "(x, period=12)",
        "Tests for unit roots at lags 1, period, and 2*period.\n\n"
        "seasonal_unit_root_test(x, period=12) -> list of (lag, stat, pvalue)"),
};

}  // namespace
}  // namespace ms
