// Unit-root and stationarity tests: the Dickey-Fuller regression and its
// table p-values, the augmented Dickey-Fuller and Phillips-Perron tests, KPSS
// and the tests assembled from it and from Dickey-Fuller, Zivot-Andrews and
// the variance ratio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include <Eigen/Dense>

#include "core/result.hpp"

namespace ms::kernels::tsa {

// (statistic, pvalue)
using TestPair = std::tuple<double, double>;

// The lagged-level coefficient of a Dickey-Fuller regression.
struct DfOlsResult {
    Eigen::VectorXd resid;  // in time order, nobs values
    double tau = 0.0;       // t statistic
    double se = 0.0;
    double gamma = 0.0;
    size_t nobs = 0;
    size_t k = 0;
    double sigma = 0.0;  // sqrt(SSR / (nobs - k))
};

// "c"/"" -> "c", "ct" -> "ct", "n"/"nc" -> "nc" (exact, case-sensitive).
Result<std::string_view> normalize_reg(std::string_view reg);

// Regression of the differences on the deterministic terms of `reg`, the
// lagged level and `lags` lagged differences; nothing when the series is too
// short or the regression degenerate.
std::optional<DfOlsResult> df_ols(std::span<const double> x, std::string_view reg, size_t lags);

// MacKinnon's one-regressor approximation of the Dickey-Fuller p-value.
double df_pvalue(double stat, std::string_view reg);

Result<TestPair> adf_test(std::span<const double> x, std::string_view reg, std::optional<uint64_t> max_lag);
Result<TestPair> pp_test(std::span<const double> x, std::string_view reg);

Result<TestPair> kpss_test(std::span<const double> x, std::string_view reg, std::optional<uint64_t> max_lag);
// (stat, pvalue, is_stationary)
std::tuple<double, double, bool> trend_stationarity_test(std::span<const double> x);
std::tuple<double, double, bool> seasonal_diff_test(std::span<const double> x, uint64_t period);
// (is_i0, is_i1, adf_level, adf_diff1)
std::tuple<bool, bool, double, double> integration_order_test(std::span<const double> x);
// (lag, stat, pvalue) at lags 1, period and 2*period as far as the series allows.
std::vector<std::tuple<int64_t, double, double>> seasonal_unit_root_test(std::span<const double> x, uint64_t period);

// (min_stat, breakpoint, pvalue)
std::tuple<double, int64_t, double> zivot_andrews_test(std::span<const double> x, std::optional<uint64_t> max_lag);
// (vr, z_score, pvalue)
std::tuple<double, double, double> variance_ratio_test(std::span<const double> x, uint64_t lags);

}  // namespace ms::kernels::tsa
