// Helpers shared by the time-series kernels: plain sums, the LU solve of the
// small least-squares and Yule-Walker systems, and the chi-squared
// distribution function.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

#include <Eigen/Dense>
#include <boost/math/distributions/chi_squared.hpp>
#include "core/constants.hpp"

namespace ms::tsa {


// Plain left-to-right mean, the sum started from -0.0 (the additive identity).
inline double mean(std::span<const double> x) noexcept {
    double s = -0.0;
    for (double v : x) s += v;
    return s / static_cast<double>(x.size());
}

// Sum of squared deviations from m, left to right from 0.0.
inline double sum_sq_dev(std::span<const double> x, double m) noexcept {
    double s = 0.0;
    for (double v : x) {
        double d = v - m;
        s += d * d;
    }
    return s;
}

// True when every value compares equal to the first (a NaN never does).
inline bool all_equal(std::span<const double> x) noexcept {
    for (double v : x)
        if (!(v == x[0])) return false;
    return true;
}

// Finite and greater than zero.
inline bool positive(double v) noexcept { return v > 0.0 && std::isfinite(v); }

// LU decomposition with partial pivoting. Eigen carries on past a zero pivot
// without saying so; an exactly zero pivot (a singular matrix) is reported
// here as no factorisation.
inline std::optional<Eigen::PartialPivLU<Eigen::MatrixXd>> lu_factor(const Eigen::MatrixXd& a) {
    Eigen::PartialPivLU<Eigen::MatrixXd> lu(a);
    const Eigen::MatrixXd& f = lu.matrixLU();
    for (Eigen::Index i = 0; i < f.rows(); ++i)
        if (f(i, i) == 0.0) return std::nullopt;
    return lu;
}

// Solves a·x = b; a singular a gives no solution.
inline std::optional<Eigen::VectorXd> lu_solve(const Eigen::MatrixXd& a, const Eigen::VectorXd& b) {
    auto lu = lu_factor(a);
    if (!lu) return std::nullopt;
    return Eigen::VectorXd(lu->solve(b));
}

// Boost.Math reports every error as a value (NaN or infinity), never a throw.
using NoThrow = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::underflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::denorm_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>,
    boost::math::policies::indeterminate_result_error<boost::math::policies::ignore_error>>;

// The chi-squared distribution function over the whole real line: Boost
// takes only finite x >= 0, so the tails are filled in here (0 below zero,
// 1 at +inf); NaN stays NaN.
inline double chi2_cdf(double df, double x) {
    if (std::isnan(x)) return kNaN;
    if (x <= 0.0) return 0.0;
    if (std::isinf(x)) return 1.0;
    return boost::math::cdf(boost::math::chi_squared_distribution<double, NoThrow>(df), x);
}

}  // namespace ms::tsa
