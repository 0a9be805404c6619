// Gaussian kernel density estimate on a regular grid.
#pragma once

#include <cmath>
#include <optional>
#include <span>

#include "core/parallel.hpp"
#include "core/unit.hpp"
#include "kernels/descriptive/moments.hpp"
#include "kernels/transform/transforms.hpp"

namespace ms::kernels::transform {

// Scott's rule n^(-1/5) * s with the sample standard deviation s; NaN when it
// cannot be formed (a single value, zero or non-finite spread).
inline double scott_bandwidth(std::span<const double> x) {
    size_t n = x.size();
    if (n < 2) return kNaN;
    double v = descriptive::var(x);
    double s = std::sqrt(v);
    if (!(v > 0.0) || !std::isfinite(s)) return kNaN;
    return std::pow(static_cast<double>(n), -0.2) * s;
}

// Fills `grid` and `density` (points slots each) over [min - 3h, max + 3h].
// x is non-empty and finite, h positive and finite.
inline void kde_gaussian(std::span<const double> x, double h, size_t points, double* grid, double* density) {
    size_t n = x.size();
    MinMax mm = min_max(x);
    double lo = mm.lo - 3.0 * h, hi = mm.hi + 3.0 * h;
    if (points == 1) {
        grid[0] = (lo + hi) * 0.5;
    } else {
        double step = (hi - lo) / static_cast<double>(points - 1);
        for (size_t i = 0; i < points; ++i) grid[i] = lo + step * static_cast<double>(i);
    }
    double c = 1.0 / h;
    double norm = 1.0 / (h * static_cast<double>(n) * 2.5066282746310002);
    const double* px = x.data();
    // Grid points are independent; each sum keeps its own index order, so the
    // result does not depend on the number of threads. About 1.25e5 terms (an
    // exp each) take a millisecond.
    const unsigned team = core::team_for(static_cast<double>(points) * static_cast<double>(n), 1.25e5, points);
    core::run_ranges(team, points, 8, [&](size_t lo, size_t hi, unsigned) {
        for (size_t i = lo; i < hi; ++i) {
            double g = grid[i];
            double s = 0.0;
            for (size_t j = 0; j < n; ++j) {
                double u = c * (g - px[j]);
                s += std::exp(u * (u * -0.5));
            }
            density[i] = norm * s;
        }
    });
}

// The estimate with `bandwidth` (positive and finite) or Scott's; false when
// none is given and none can be inferred (as for Scott's rule, also when the
// bandwidth overflows in the data's unit). Data far from 1 are read in
// their power-of-two unit (into `scratch`, n slots) so that the variance of
// data near 1e+-150 neither vanishes nor overflows; the grid then scales back
// by 2^-e and the density by 2^e, exactly, which gives the bits of the plain
// computation wherever that one does not overflow or vanish. A given bandwidth that does not fit the unit is used as it is.
inline bool kde_gaussian_in_unit(std::span<const double> x, std::optional<double> bandwidth, size_t points,
                                 double* scratch, double* grid, double* density) {
    core::Unit u = core::unit_beyond_range(x);
    double h = 0.0;
    if (bandwidth) {
        h = u(*bandwidth);
        if (!(h >= 0x1p-1000 && h <= 0x1p1000)) {
            u = {};
            h = *bandwidth;
        }
    }
    std::span<const double> xs = x;
    if (!u.identity()) {
        for (size_t i = 0; i < x.size(); ++i) scratch[i] = u(x[i]);
        xs = std::span<const double>(scratch, x.size());
    }
    if (!bandwidth) {
        h = scott_bandwidth(xs);
        // A spread that overflows in the data's own unit cannot be used.
        if (std::isnan(h) || std::isinf(std::ldexp(h, -u.exponent()))) return false;
    }
    kde_gaussian(xs, h, points, grid, density);
    const int e = u.exponent();
    core::scale_by_pow2(grid, points, -e);
    core::scale_by_pow2(density, points, e);
    return true;
}

}  // namespace ms::kernels::transform
