// Residual diagnostics: portmanteau tests, the runs test, Durbin-Watson, the
// first zero crossing of the autocorrelations and the Breusch-Godfrey test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>

#include "core/result.hpp"

namespace ms::kernels::tsa {

// (statistic, pvalue)
using StatP = std::tuple<double, double>;

StatP ljung_box(std::span<const double> x, uint64_t lags);
StatP box_pierce(std::span<const double> x, uint64_t lags);

// (runs, z, pvalue) of the Wald-Wolfowitz test about the median.
std::tuple<int64_t, double, double> runs_test(std::span<const double> x);

double durbin_watson(std::span<const double> x);

// The first lag k <= max_lag with r_{k-1} > 0 and r_k <= 0, if any.
std::optional<uint64_t> acf_zero_crossing(std::span<const double> x, uint64_t max_lag);

// Breusch-Godfrey LM test of serial correlation up to lag p in the residuals e
// of a model with regressors exog (nullptr: an intercept only).
Result<StatP> bg_test(std::span<const double> e, uint64_t p, const View2* exog);

}  // namespace ms::kernels::tsa
