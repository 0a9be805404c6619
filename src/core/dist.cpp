#include "core/dist.hpp"

#include <algorithm>
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/special_functions/beta.hpp>
#include <cmath>

#include "core/constants.hpp"
#include "core/nothrow.hpp"

namespace ms::core {
namespace {

// cdf over the support [0, inf): NaN stays NaN, the edges are answered here.
template <class Dist>
double cdf_nonneg(const Dist& d, double x) noexcept {
    if (std::isnan(x)) return kNaN;
    if (x <= 0.0) return 0.0;
    if (std::isinf(x)) return 1.0;
    return boost::math::cdf(d, x);
}

}  // namespace

double t_cdf(double x, double df) noexcept {
    if (std::isnan(x) || !(df > 0.0)) return kNaN;
    if (std::isinf(x)) return x > 0.0 ? 1.0 : 0.0;
    return boost::math::cdf(boost::math::students_t_distribution<double, NoThrow>(df), x);
}

double f_cdf(double x, double df1, double df2) noexcept {
    if (!(df1 > 0.0) || !(df2 > 0.0)) return kNaN;
    return cdf_nonneg(boost::math::fisher_f_distribution<double, NoThrow>(df1, df2), x);
}

double chi2_cdf(double x, double df) noexcept {
    if (!(df > 0.0)) return kNaN;
    return cdf_nonneg(boost::math::chi_squared_distribution<double, NoThrow>(df), x);
}

double chi2_sf(double x, double df) noexcept {
    if (!std::isfinite(x) || x < 0.0 || !(std::isfinite(df) && df > 0.0)) return kNaN;
    const double cdf = chi2_cdf(x, df);
    if (cdf >= 1.0) return 0.0;
    if (cdf <= 0.0) return 1.0;
    return 1.0 - cdf;  // in (0, 1): no clamp needed
}

double chi2_quantile(double p, double df) noexcept {
    if (!(df > 0.0) || !(p >= 0.0 && p <= 1.0)) return kNaN;
    return boost::math::quantile(boost::math::chi_squared_distribution<double, NoThrow>(df), p);
}

// Through the inverse regularised incomplete beta function.
double t_quantile(double p, double df) noexcept {
    const double q = std::min(p, 1.0 - p);
    if (!(q >= 0.0)) return kNaN;
    const double w = boost::math::ibeta_inv(df / 2.0, 0.5, 2.0 * q, NoThrow());
    const double t = std::sqrt(df * (1.0 - w) / w);
    return p < 0.5 ? -t : t;
}

}  // namespace ms::core
