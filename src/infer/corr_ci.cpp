#include "infer/corr_ci.hpp"

#include <cmath>
#include <string>

#include "core/spread.hpp"
#include "core/sums.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/order.hpp"
#include "infer/common/sums.hpp"
#include "infer/common/unit.hpp"
#include "infer/common/std_normal.hpp"

namespace ms::infer {
namespace {

double plain_mean(std::span<const double> x) noexcept { return core::sum(x) / static_cast<double>(x.size()); }

// Only ASCII text can lower-case to an ASCII method name (no other character
// lower-cases into the letters used), so ASCII folding decides the match
// exactly as full Unicode lower-casing would.
bool method_is(std::string_view s, std::string_view name) noexcept {
    if (s.size() != name.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char ch = s[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != name[i]) return false;
    }
    return true;
}

Err zero_variance() { return value_error("zero variance in x or y"); }

}  // namespace

std::optional<double> pearson_r_from_means(std::span<const double> x, std::span<const double> y, double mean_x,
                                           double mean_y) noexcept {
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double dx = x[i] - mean_x, dy = y[i] - mean_y;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    if (ss_or_zero(sxx, mean_x, x) == 0.0 || ss_or_zero(syy, mean_y, y) == 0.0) return std::nullopt;
    return sxy / core::sqrt_product(sxx, syy);
}

std::optional<double> pearson_r_in_units(std::span<const double> x, std::span<const double> y, const SumPair& sums) {
    const SamplesInUnit sx(x, sums.x, sums.big_x), sy(y, sums.y, sums.big_y);
    const double dn = static_cast<double>(x.size());
    return pearson_r_from_means(sx[0], sy[0], sx.sum(0) / dn, sy.sum(0) / dn);
}

std::optional<double> pearson_r_opt(std::span<const double> x, std::span<const double> y) noexcept {
    return pearson_r_from_means(x, y, plain_mean(x), plain_mean(y));
}

Result<double> pearson_r(std::span<const double> x, std::span<const double> y) {
    auto r = pearson_r_opt(x, y);
    if (!r) return zero_variance();
    return *r;
}

Result<CorrCi> corr_ci(std::span<const double> x, std::span<const double> y, std::string_view method,
                       double confidence) {
    if (x.size() != y.size()) return value_error("x and y must have the same length");
    const size_t n = x.size();
    if (n < 4) return value_error("corr_ci requires n >= 4 (n-3 > 0 for Fisher z)");
    if (!valid_confidence(confidence)) return value_error("confidence must be in (0, 1)");
    MS_TRY(sums, checked_sum_pair(x, "x", y, "y"));
    double r;
    if (method_is(method, "pearson")) {
        auto rr = pearson_r_in_units(x, y, sums);
        if (!rr) return zero_variance();
        r = *rr;
    } else if (method_is(method, "spearman")) {
        Buf<double> rx = rankdata_average(x), ry = rankdata_average(y);
        MS_TRY(rr, pearson_r({rx.data(), n}, {ry.data(), n}));
        r = rr;
    } else {
        return value_error("method must be 'pearson' or 'spearman'");
    }
    // atanh is infinite only at |r| = 1 (or a rounded |r| above it); any other r,
    // however close to 1, is transformed itself so the interval surrounds it.
    // Near -1 the argument 2r / (1 - r) sits near -1 and log1p of it keeps few
    // digits, so beyond |r| = 0.9999999 z is taken from |r| and given r's sign.
    const double rc = std::fabs(r) >= 1.0 ? std::copysign(0.9999999, r) : r;
    const double ra = std::fabs(rc);
    const double z = ra > 0.9999999 ? std::copysign(0.5 * std::log1p(2.0 * ra / (1.0 - ra)), rc)
                                    : 0.5 * std::log1p(2.0 * rc / (1.0 - rc));
    const double se = 1.0 / std::sqrt(static_cast<double>(n - 3));
    const double q = norm_crit(confidence);
    return CorrCi{r, std::tanh(z - q * se), std::tanh(z + q * se), z, se};
}

}  // namespace ms::infer
