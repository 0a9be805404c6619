#include "infer/common/std_normal.hpp"

#include <boost/math/distributions/normal.hpp>
#include <boost/math/special_functions/erf.hpp>
#include <boost/math/special_functions/gamma.hpp>
#include <cmath>

#include "core/nothrow.hpp"

namespace ms::infer {

double std_normal_cdf(double z) noexcept { return 0.5 * boost::math::erfc(-z / kSqrt2, core::NoThrowDouble()); }

double std_normal_sf(double z) noexcept { return 0.5 * boost::math::erfc(z / kSqrt2, core::NoThrowDouble()); }

NormalTails std_normal_tails(double z) noexcept {
    const double u = std::fabs(z) / kSqrt2;
    double near, far;  // the tail on z's side of 0, and the other one
    if (u < 0.5) {
        const double e = boost::math::erf(u, core::NoThrowDouble());
        near = 0.5 * (1.0 - e);
        far = 0.5 * (1.0 + e);
    } else if (u > 0.5) {
        const double c = boost::math::erfc(u, core::NoThrowDouble());
        near = 0.5 * c;
        far = 0.5 * (2.0 - c);
    } else {  // u = 0.5 exactly, or NaN
        return NormalTails{std_normal_cdf(z), std_normal_sf(z)};
    }
    return z >= 0.0 ? NormalTails{far, near} : NormalTails{near, far};
}

double normal_cdf(double x, double mu, double sigma) noexcept {
    return boost::math::cdf(boost::math::normal_distribution<double, core::NoThrowDouble>(mu, sigma), x);
}

double log_gamma(double x) noexcept { return boost::math::lgamma(x, core::NoThrowDouble()); }

}  // namespace ms::infer
