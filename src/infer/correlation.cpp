#include "infer/correlation.hpp"

#include <cmath>
#include <limits>

#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/order.hpp"
#include "infer/corr_ci.hpp"
#include "infer/ttest.hpp"

namespace ms::infer {
namespace {

// Lengths, then the sample size, then the NaN scan of x whole and of y
// (which also yields the plain sums of both).
Result<SumPair> check_pair(std::span<const double> x, std::span<const double> y, const char* size_msg) {
    if (x.size() != y.size()) return value_error("x and y must have same length");
    if (x.size() < 3) return value_error(size_msg);
    return checked_sum_pair(x, "x", y, "y");
}

CorrTest t_test_of(double r, size_t n) noexcept {
    const double df = static_cast<double>(n - 2);
    if (std::isnan(r)) {
        // Deviation sums that overflowed: no correlation, so no evidence either.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return CorrTest{r, nan, nan, df};
    }
    const double t = std::fabs(r) < 1.0 ? r * std::sqrt(df / (1.0 - r * r))
                                        : std::copysign(std::numeric_limits<double>::infinity(), r);
    const double p = std::isfinite(t) ? p_from_t(Alternative{Alternative::TwoSided}, t, df) : 0.0;
    return CorrTest{r, t, p, df};
}

}  // namespace

Result<CorrTest> pearson_corr_test(std::span<const double> x, std::span<const double> y) {
    MS_TRY(sums, check_pair(x, y, "pearson_corr_test requires n >= 3"));
    auto r = pearson_r_in_units(x, y, sums);
    if (!r) return value_error("zero variance in x or y");
    return t_test_of(*r, x.size());
}

Result<CorrTest> spearman_corr_test(std::span<const double> x, std::span<const double> y) {
    MS_TRY(sums, check_pair(x, y, "spearman_corr_test requires n >= 3"));
    (void)sums;
    const size_t n = x.size();
    Buf<double> rx = rankdata_average(x), ry = rankdata_average(y);
    auto r = pearson_r_opt({rx.data(), n}, {ry.data(), n});
    if (!r) return value_error("zero variance in ranks");
    return t_test_of(*r, n);
}

}  // namespace ms::infer
