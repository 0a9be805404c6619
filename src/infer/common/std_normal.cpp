#include "infer/common/std_normal.hpp"

#include <boost/math/distributions/normal.hpp>
#include <boost/math/special_functions/erf.hpp>
#include <boost/math/special_functions/gamma.hpp>

#include "infer/common/policy.hpp"

namespace ms::infer {
namespace {

// Evaluated in double itself rather than promoted to long double: these run
// once per sample value, and the double code keeps the library's accuracy.
using Fast = bmp::normalise<NoThrow, bmp::promote_double<false>>::type;

}  // namespace

double std_normal_cdf(double z) noexcept { return 0.5 * boost::math::erfc(-z / kSqrt2, Fast()); }

double std_normal_sf(double z) noexcept { return 0.5 * boost::math::erfc(z / kSqrt2, Fast()); }

double normal_cdf(double x, double mu, double sigma) noexcept {
    return boost::math::cdf(boost::math::normal_distribution<double, Fast>(mu, sigma), x);
}

double log_gamma(double x) noexcept { return boost::math::lgamma(x, Fast()); }

}  // namespace ms::infer
