#include "infer/common/dist.hpp"

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <limits>

#include "infer/common/policy.hpp"
#include "core/constants.hpp"

namespace ms::infer {
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

double t_cdf(double df, double x) noexcept {
    if (std::isnan(x) || !(df > 0.0)) return kNaN;
    if (std::isinf(x)) return x > 0.0 ? 1.0 : 0.0;
    return boost::math::cdf(boost::math::students_t_distribution<double, NoThrow>(df), x);
}

double f_cdf(double df1, double df2, double x) noexcept {
    if (!(df1 > 0.0) || !(df2 > 0.0)) return kNaN;
    return cdf_nonneg(boost::math::fisher_f_distribution<double, NoThrow>(df1, df2), x);
}

double chi2_cdf(double df, double x) noexcept {
    if (!(df > 0.0)) return kNaN;
    return cdf_nonneg(boost::math::chi_squared_distribution<double, NoThrow>(df), x);
}

double chi2_quantile(double df, double p) noexcept {
    if (!(df > 0.0) || !(p >= 0.0 && p <= 1.0)) return kNaN;
    return boost::math::quantile(boost::math::chi_squared_distribution<double, NoThrow>(df), p);
}

}  // namespace ms::infer
