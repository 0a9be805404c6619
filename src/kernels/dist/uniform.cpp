#include "kernels/dist/uniform.hpp"

#include <cmath>
#include <limits>

#include "kernels/dist/map.hpp"
#include "core/constants.hpp"

namespace ms::kernels::dist {

namespace {}  // namespace

// No NaN test: a NaN fails both bounds and gets the density.
void unif_pdf(std::span<const double> x, double a, double b, double* out) {
    const double d = 1.0 / (b - a);
    map(x, out, [=](double v) { return (v < a || v > b) ? 0.0 : d; });
}

void unif_logpdf(std::span<const double> x, double a, double b, double* out) {
    const double l = -std::log(b - a);
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return (v < a || v > b) ? -kInf : l;
    });
}

// In cdf and sf a NaN fails both comparisons and comes out NaN through the formula.
void unif_cdf(std::span<const double> x, double a, double b, double* out) {
    const double r = 1.0 / (b - a);
    map(x, out, [=](double v) { return v <= a ? 0.0 : v >= b ? 1.0 : r * (v - a); });
}

void unif_sf(std::span<const double> x, double a, double b, double* out) {
    const double r = 1.0 / (b - a);
    map(x, out, [=](double v) { return v <= a ? 1.0 : v >= b ? 0.0 : r * (b - v); });
}

void unif_logsf(std::span<const double> x, double a, double b, double* out) {
    const double w = b - a;
    map(x, out, [=](double v) {
        if (std::isnan(v)) return kNaN;
        return v <= a ? 0.0 : v >= b ? -kInf : std::log((b - v) / w);
    });
}

void unif_ppf(std::span<const double> q, double a, double b, double* out) {
    map(q, out, [=](double v) { return std::isnan(v) ? kNaN : a + (b - a) * v; });
}

}  // namespace ms::kernels::dist
