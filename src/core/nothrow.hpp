// The Boost.Math policy of every distribution and special function: errors
// come back as values (NaN, +-inf, 0), never as exceptions.
#pragma once

#include <boost/math/policies/policy.hpp>

namespace ms::core {

namespace bmp = boost::math::policies;
using NoThrow =
    bmp::policy<bmp::domain_error<bmp::ignore_error>, bmp::pole_error<bmp::ignore_error>,
                bmp::overflow_error<bmp::ignore_error>, bmp::underflow_error<bmp::ignore_error>,
                bmp::denorm_error<bmp::ignore_error>, bmp::evaluation_error<bmp::ignore_error>,
                bmp::rounding_error<bmp::ignore_error>, bmp::indeterminate_result_error<bmp::ignore_error>>;

// The same, evaluated in double itself rather than promoted to long double:
// for functions run once per value, where the double code keeps the library's
// accuracy at a fraction of the cost.
using NoThrowDouble = bmp::normalise<NoThrow, bmp::promote_double<false>>::type;

}  // namespace ms::core
