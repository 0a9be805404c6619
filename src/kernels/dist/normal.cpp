// The cumulative functions go through erfc so that both tails keep their
// relative precision: the survival function is never formed as 1 - cdf.
// glibc's erfc, exp and log are the fdlibm / ARM optimized-routines
// algorithms, so the platform functions are used directly.
#include "kernels/dist/normal.hpp"

#include <boost/math/special_functions/erf.hpp>
#include <cmath>
#include <limits>

#include "kernels/dist/map.hpp"
#include "core/constants.hpp"
#include "core/nothrow.hpp"

namespace ms::kernels::dist {

namespace {

constexpr double kInvSqrt2 = 0.7071067811865476;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kNegHalfLog2Pi = -0.9189385332046727;
constexpr double kSqrt2 = 1.4142135623730951;


double sf_at(double x, double mu, double sigma) { return 0.5 * std::erfc(((x - mu) / sigma) * kInvSqrt2); }

// ln sf for the standardised z where sf itself has left the normal range
// (z above about 37.5): the asymptotic series
//   sf(z) = phi(z) / z * (1 - 1/z^2 + 3/z^4 - 15/z^6 + ...),
// whose omitted terms are below 1e-16 there. z^2 / 2 overflows only where
// the true value does.
double log_sf_far(double z) {
    const double u = 1.0 / (z * z);
    const double tail = u * (-1.0 + u * (3.0 + u * (-15.0 + u * (105.0 + u * (-945.0 + u * 10395.0)))));
    return z * (z * -0.5) - std::log(z) + kNegHalfLog2Pi + std::log1p(tail);
}

// ln sf: the plain logarithm while sf is a normal number, which carries its
// full precision; beyond that, in log space so the result stays finite.
double log_sf_at(double x, double mu, double sigma) {
    const double sf = sf_at(x, mu, sigma);
    if (!(sf < std::numeric_limits<double>::min())) return std::log(sf);
    return log_sf_far((x - mu) / sigma);
}

}  // namespace

void norm_pdf(std::span<const double> x, double mu, double sigma, double* out) {
    const double s = 1.0 / sigma;
    const double k = s / std::sqrt(kTwoPi);
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        const double z = s * (v - mu);
        return k * std::exp(z * (z * -0.5));
    });
}

void norm_logpdf(std::span<const double> x, double mu, double sigma, double* out) {
    const double l = kNegHalfLog2Pi - std::log(sigma);
    const double s = 1.0 / sigma;
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        const double z = s * (v - mu);
        return l + z * (z * -0.5);
    });
}

void norm_cdf(std::span<const double> x, double mu, double sigma, double* out) {
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return 0.5 * std::erfc(((v - mu) / sigma) * -kInvSqrt2);
    });
}

void norm_sf(std::span<const double> x, double mu, double sigma, double* out) {
    map(x, out, [=](double v) { return std::isnan(v) ? kNaN : sf_at(v, mu, sigma); });
}

void norm_logsf(std::span<const double> x, double mu, double sigma, double* out) {
    map(x, out, [=](double v) { return std::isnan(v) ? kNaN : log_sf_at(v, mu, sigma); });
}

void norm_cumhazard(std::span<const double> x, double mu, double sigma, double* out) {
    map(x, out, [=](double v) { return std::isnan(v) ? kNaN : -log_sf_at(v, mu, sigma); });
}

void norm_ppf(std::span<const double> q, double mu, double sigma, double* out) {
    const double scale = sigma * kSqrt2;
    map(q, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        if (v == 0.0) return -kInf;
        if (v == 1.0) return kInf;
        return mu - scale * boost::math::erfc_inv(2.0 * v, core::NoThrowDouble());
    });
}

}  // namespace ms::kernels::dist
