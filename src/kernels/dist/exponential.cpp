// expm1 and log1p keep small arguments of the cdf and the quantile exact.
#include "kernels/dist/exponential.hpp"

#include <cmath>
#include <limits>

#include "kernels/dist/map.hpp"
#include "core/constants.hpp"

namespace ms::kernels::dist {

namespace {}  // namespace

// In pdf, cdf and sf a NaN fails "x < 0" and comes out NaN through the formula.
void exp_pdf(std::span<const double> x, double lam, double* out) {
    map(x, out, [=](double v) { return v < 0.0 ? 0.0 : lam * std::exp(v * -lam); });
}

void exp_logpdf(std::span<const double> x, double lam, double* out) {
    const double l = std::log(lam);
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return v < 0.0 ? -kInf : l - lam * v;
    });
}

void exp_cdf(std::span<const double> x, double lam, double* out) {
    map(x, out, [=](double v) { return v < 0.0 ? 0.0 : -std::expm1(v * -lam); });
}

void exp_sf(std::span<const double> x, double lam, double* out) {
    map(x, out, [=](double v) { return v < 0.0 ? 1.0 : std::exp(v * -lam); });
}

void exp_logsf(std::span<const double> x, double lam, double* out) {
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return v < 0.0 ? 0.0 : v * -lam;
    });
}

void exp_cumhazard(std::span<const double> x, double lam, double* out) {
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return v < 0.0 ? 0.0 : lam * v;
    });
}

void exp_ppf(std::span<const double> q, double lam, double* out) {
    map(q, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return v == 1.0 ? kInf : -std::log1p(-v) / lam;
    });
}

}  // namespace ms::kernels::dist
