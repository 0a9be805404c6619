// Residual diagnostics: portmanteau tests, the runs test, Durbin-Watson, the
// first zero crossing of the autocorrelations and the Breusch-Godfrey test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/result.hpp"
#include "kernels/tsa/test_result.hpp"

namespace ms::kernels::tsa {

TestResult ljung_box(std::span<const double> x, uint64_t lags);
TestResult box_pierce(std::span<const double> x, uint64_t lags);

// The Wald-Wolfowitz test about the median.
struct RunsTest {
    int64_t runs;
    double z, pvalue;
};
RunsTest runs_test(std::span<const double> x);

double durbin_watson(std::span<const double> x);

// The first lag k <= max_lag with r_{k-1} > 0 and r_k <= 0, if any.
std::optional<uint64_t> acf_zero_crossing(std::span<const double> x, uint64_t max_lag);

// Breusch-Godfrey LM test of serial correlation up to lag p in the residuals e
// of a model with regressors exog (nullptr: an intercept only).
Result<TestResult> bg_test(std::span<const double> e, uint64_t p, const View2* exog);

}  // namespace ms::kernels::tsa
