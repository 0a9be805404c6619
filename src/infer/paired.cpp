#include "infer/paired.hpp"

#include <cmath>

#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {

Result<TTest1> t_test_paired(std::span<const double> x, std::span<const double> y, std::string_view alternative) {
    if (x.size() != y.size()) return value_error("x and y must have the same length");
    size_t n = x.size();
    if (n < 2) return value_error("t_test_paired requires n >= 2");
    // The differences are recomputed where needed rather than stored. A NaN or
    // infinite value of either sample makes its difference, and so the sum,
    // non-finite; only then are the samples scanned.
    auto d = [x, y](size_t i) { return x[i] - y[i]; };
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += d(i);
    if (!std::isfinite(sum)) {
        if (auto e = reject_nonfinite(x, "x")) return std::move(*e);
        if (auto e = reject_nonfinite(y, "y")) return std::move(*e);
    }
    double dn = static_cast<double>(n);
    double m = sum / dn;
    auto [mean_d, ss] = settle_equal_of(n, d, m, kahan_ss_of(n, d, m));
    MS_TRY(alt, Alternative::from_str(alternative));
    double df = dn - 1.0;
    double t = t_statistic(mean_d, ss / df / dn);
    return TTest1{t, p_from_t(alt, t, df), df, mean_d};
}

}  // namespace ms::infer
