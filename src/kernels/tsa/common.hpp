// Helpers shared by the time-series kernels: the mean, the test for a series
// without spread, the unit a series is read in, the lag sums over the worker
// pool, and the LU solve of the small least-squares and Yule-Walker systems.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

#include <Eigen/Dense>
#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/sums.hpp"
#include "core/unit.hpp"

namespace ms::kernels::tsa {

// Plain left-to-right mean, the sum started from -0.0 (the additive identity).
inline double mean(std::span<const double> x) noexcept {
    return core::sum(x, -0.0) / static_cast<double>(x.size());
}

// Whether var, the variance of x about its computed mean m, shows no spread:
// not positive, or only the rounding of an inexact mean of equal values (ten
// 0.1), which must answer as ten 2.0 do. A NaN variance is neither.
inline bool no_spread(double var, double m, std::span<const double> x) noexcept {
    return var <= 0.0 || core::equal_within_rounding(var, m, x.data(), x.size());
}

// A series as the kernels read it: in its power-of-two unit when its values
// lie beyond the plain range (so sums of squares neither overflow nor go
// subnormal, and x and x * 2^k give the same bits), else the data themselves.
using core::InUnit;

// Finite and greater than zero.
inline bool positive(double v) noexcept { return v > 0.0 && std::isfinite(v); }

// lag_sums (acf_pacf.hpp) with the lags spread over the worker pool when
// n·(k1 - k0) is large. Each lag is still one sum in increasing time order
// from 0.0, computed whole by one thread, so the bits do not depend on the
// number of threads.
void lag_sums_parallel(std::span<const double> x, double mx, std::span<const double> y, double my, size_t k0,
                       size_t k1, double* out);

// LU decomposition with partial pivoting. Eigen carries on past a zero pivot
// without saying so; an exactly zero pivot (a singular matrix) is reported
// here as no factorisation.
std::optional<Eigen::PartialPivLU<Eigen::MatrixXd>> lu_factor(const Eigen::MatrixXd& a);

// Solves a·x = b; a singular a gives no solution.
std::optional<Eigen::VectorXd> lu_solve(const Eigen::MatrixXd& a, const Eigen::VectorXd& b);

}  // namespace ms::kernels::tsa
