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
#include <vector>

#include <Eigen/Dense>

#include "core/result.hpp"
#include "kernels/tsa/test_result.hpp"

namespace ms::kernels::tsa {

// The lagged-level coefficient of a Dickey-Fuller regression. The fit reads
// the series scaled by the power of two that brings its largest magnitude
// into [0.5, 1); tau, se and gamma have no unit, resid and sigma are in that
// scaled unit.
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
// short or the regression degenerate (a coefficient variance that is not
// finite and positive). With a constant the level column is taken relative
// to x[0], which changes only the intercept.
std::optional<DfOlsResult> df_ols(std::span<const double> x, std::string_view reg, size_t lags);

// MacKinnon's one-regressor approximation of the Dickey-Fuller p-value.
double df_pvalue(double stat, std::string_view reg);

Result<TestResult> adf_test(std::span<const double> x, std::string_view reg, std::optional<uint64_t> max_lag);
Result<TestResult> pp_test(std::span<const double> x, std::string_view reg);

Result<TestResult> kpss_test(std::span<const double> x, std::string_view reg, std::optional<uint64_t> max_lag);
// A test statistic, its p-value and the verdict at the 5% level.
struct StationarityVerdict {
    double statistic, pvalue;
    bool stationary;
};
StationarityVerdict trend_stationarity_test(std::span<const double> x);
StationarityVerdict seasonal_diff_test(std::span<const double> x, uint64_t period);

// Whether the series is I(0), else I(1); the ADF statistics of the levels
// and the first differences.
struct IntegrationOrder {
    bool is_i0, is_i1;
    double adf_level, adf_diff1;
};
IntegrationOrder integration_order_test(std::span<const double> x);

// The statistic and p-value at lags 1, period and 2*period as far as the
// series allows.
struct SeasonalRoot {
    int64_t lag;
    double statistic, pvalue;
};
std::vector<SeasonalRoot> seasonal_unit_root_test(std::span<const double> x, uint64_t period);

struct ZivotAndrews {
    double min_stat;
    int64_t breakpoint;
    double pvalue;
};
ZivotAndrews zivot_andrews_test(std::span<const double> x, std::optional<uint64_t> max_lag);

struct VarianceRatio {
    double vr, z_score, pvalue;
};
VarianceRatio variance_ratio_test(std::span<const double> x, uint64_t lags);

}  // namespace ms::kernels::tsa
