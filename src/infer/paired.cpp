#include "infer/paired.hpp"

#include <cmath>

#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"

namespace ms::infer {
namespace {

// The plain sum of the differences x[i] - y[i] and the largest magnitude of
// either sample, in one pass. Kept out of line: inlined, its running sum
// shared a stack slot with the caller's copy, which lives across calls.
[[gnu::noinline]] SampleSum difference_sum(const double* x, const double* y, size_t n) noexcept {
    double sum = 0.0, big = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sum += x[i] - y[i];
        // One comparison on the chain through big, the other beside it.
        const double ax = std::fabs(x[i]), ay = std::fabs(y[i]);
        const double a = ax > ay ? ax : ay;
        big = a > big ? a : big;
    }
    return {sum, big};
}

}  // namespace

Result<TTest1> t_test_paired(std::span<const double> x, std::span<const double> y, std::string_view alternative) {
    if (x.size() != y.size()) return value_error("x and y must have the same length");
    size_t n = x.size();
    if (n < 2) return value_error("t_test_paired requires n >= 2");
    // The differences are recomputed where needed rather than stored. A NaN or
    // infinite value of either sample makes its difference, and so the sum,
    // non-finite; only then are the samples scanned.
    const SampleSum first = difference_sum(x.data(), y.data(), n);
    double sum = first.sum;
    if (!std::isfinite(sum)) {
        if (auto e = reject_nonfinite(x, "x")) return std::move(*e);
        if (auto e = reject_nonfinite(y, "y")) return std::move(*e);
    }
    // Both samples in one unit, so that their differences are read exactly.
    std::span<const double> xy[2] = {x, y};
    SamplesInUnit s(xy, {}, first.big);
    const double* xu = s[0].data();
    const double* yu = s[1].data();
    auto d = [xu, yu](size_t i) { return xu[i] - yu[i]; };
    if (!s.identity()) sum = difference_sum(xu, yu, n).sum;
    double dn = static_cast<double>(n);
    double m = sum / dn;
    auto [mean_d, ss] = settle_equal_of(n, d, m, kahan_ss_of(n, d, m));
    MS_TRY(alt, Alternative::from_str(alternative));
    double df = dn - 1.0;
    double t = t_statistic(mean_d, ss / df / dn);
    return TTest1{t, p_from_t(alt, t, df), df, s.unscale(mean_d, 1)};
}

}  // namespace ms::infer
