#include "infer/chi2.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/constants.hpp"
#include "core/dist.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/format.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {
namespace {

// 2^-26: the totals of observed and expected counts may differ by this much,
// relative to the smaller one.
constexpr double kSumTolerance = 1.4901161193847656e-08;

bool any_negative(std::span<const double> x) noexcept {
    bool neg = false;
    for (double v : x) neg |= v < 0.0;
    return neg;
}

}  // namespace

Result<Chi2Test> chi2_gof(std::span<const double> observed, const std::optional<View1>& expected, bool sum_check) {
    if (auto e = reject_nonfinite(observed, "observed")) return std::move(*e);
    if (any_negative(observed)) return value_error("observed must be non-negative counts");
    const size_t k = observed.size();
    if (k < 2) return value_error("chi2_gof requires at least 2 categories");
    // With a usable expected array the three serial chains (both totals and
    // the statistic) run in one loop, each still in index order; the checks
    // then report in their fixed order, and terms of an expected array that
    // fails them are simply discarded.
    std::span<const double> exp;
    if (expected && expected->contiguous() && expected->n == k) exp = expected->span();
    double s_obs = 0.0, s_exp = 0.0;
    Kahan stat;
    if (!exp.empty()) {
        for (size_t i = 0; i < k; ++i) {
            s_obs += observed[i];
            s_exp += exp[i];
            const double d = observed[i] - exp[i];
            stat.add(d * d / exp[i]);
        }
    } else {
        s_obs = core::sum(observed);
    }
    if (s_obs <= 0.0) return value_error("sum(observed) must be > 0");

    if (!expected) {
        const double e = s_obs / static_cast<double>(k);
        for (double o : observed) {
            const double d = o - e;
            stat.add(d * d / e);
        }
        // Equal counts sit off their inexact mean by its rounding only.
        if (core::equal_within_rounding(stat.sum * e / static_cast<double>(k), e, observed.data(), k)) stat = Kahan{};
    } else {
        if (!expected->contiguous()) return not_contiguous_error();
        if (auto e = reject_nonfinite(expected->span(), "expected")) return std::move(*e);
        if (expected->n != k) return value_error("expected must have same length as observed");
        bool positive = true;
        for (double v : exp) positive &= v > 0.0;
        if (!positive) return value_error("expected must be strictly positive");
        if (sum_check) {
            if (s_exp <= 0.0) return value_error("sum(expected) must be > 0");
            const double rel = std::fabs(s_obs - s_exp) / std::fmin(s_obs, s_exp);
            if (rel > kSumTolerance)
                return value_error(
                    "For each axis slice, the sum of the observed frequencies must agree with the sum of the "
                    "expected frequencies to a relative tolerance of " +
                    plain_decimal(kSumTolerance) + ", but the percent differences are:\n" + plain_decimal(rel));
        }
    }
    const double df = static_cast<double>(k - 1);
    return Chi2Test{stat.sum, core::chi2_sf(stat.sum, df), df};
}

Result<Chi2Test> chi2_independence(const View2& table) {
    const size_t rows = table.rows, cols = table.cols;
    if (rows < 2 || cols < 2) return value_error("contingency table must be at least 2x2");
    if (table.cstride != 8 || table.rstride != static_cast<ptrdiff_t>(cols) * 8)
        return value_error("table must be C-contiguous float64");
    std::span<const double> cells(reinterpret_cast<const double*>(table.data), rows * cols);
    if (auto e = reject_nonfinite(cells, "table")) return std::move(*e);
    if (any_negative(cells)) return value_error("table must be non-negative counts");

    Buf<double> row_sum(rows), col_sum = Buf<double>::zeros(cols);
    double total = 0.0;
    for (size_t i = 0; i < rows; ++i) {
        const double* r = cells.data() + i * cols;
        double s = 0.0;
        for (size_t j = 0; j < cols; ++j) {
            s += r[j];
            col_sum[j] += r[j];
            total += r[j];
        }
        row_sum[i] = s;
    }
    if (total <= 0.0) return value_error("sum(table) must be > 0");

    // A zero row or column has expected counts of 0: its cells carry no term.
    Kahan stat;
    for (size_t i = 0; i < rows; ++i) {
        const double* r = cells.data() + i * cols;
        for (size_t j = 0; j < cols; ++j) {
            const double e = row_sum[i] * col_sum[j] / total;
            if (e <= 0.0) continue;
            const double d = r[j] - e;
            stat.add(d * d / e);
        }
    }
    // Equal cells sit off their inexact expected counts by rounding only
    // (their mean stands for the expected counts in the bound).
    const size_t cells_n = rows * cols;
    const double mean = total / static_cast<double>(cells_n);
    if (core::equal_within_rounding(stat.sum * mean / static_cast<double>(cells_n), mean, cells.data(), cells_n))
        stat = Kahan{};
    // An empty row or column constrains nothing: the statistic is that of the
    // table without it, and so are the degrees of freedom. With fewer than
    // two of either left there are none, and no p-value.
    size_t full_rows = 0, full_cols = 0;
    for (size_t i = 0; i < rows; ++i) full_rows += row_sum[i] > 0.0;
    for (size_t j = 0; j < cols; ++j) full_cols += col_sum[j] > 0.0;
    const double df = full_rows < 2 || full_cols < 2
                          ? 0.0
                          : static_cast<double>(full_rows - 1) * static_cast<double>(full_cols - 1);
    return Chi2Test{stat.sum, core::chi2_sf(stat.sum, df), df};
}

}  // namespace ms::infer
