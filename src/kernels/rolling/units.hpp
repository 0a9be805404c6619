// Rolling kernels read their series in a power-of-two unit (core/unit.hpp)
// when the data lie beyond the plain range, so that squares and sums neither
// overflow nor go subnormal, and scale the outputs back.
//
// Every window is read on its own, so the unit is that of the finite values
// (an infinity spoils only the windows that hold it; the others still want
// their unit), and it brings the largest of them to [2^399, 2^400) rather
// than near 1: a window of values far below the series' largest still wants
// normal squares, which this keeps down to 2^-911 of the largest, while sums
// of squares of windows up to 2^100 values stay finite.
//
// Ordinary data run on the caller's array. The running-sum kernels find the
// largest magnitude on their own pass (beside their sums), so ordinary data
// pay no pass of their own; the data are read again in their unit only when
// that pass finds them beyond the plain range. A pass whose sums, summed
// afresh from finite values, still fail their test (squares that overflow or
// underflow) stops early: it would rebuild them at every step.
#pragma once

#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <span>

#include "core/unit.hpp"

namespace ms::kernels::rolling {

// The unit of data whose largest finite magnitude is `big`; none inside the
// plain range (and none for no finite nonzero value).
inline core::Unit rolling_unit(double big) noexcept {
    if (core::plain_range(big)) return {};
    const core::Unit u = core::unit_of_magnitude(big);
    if (u.identity()) return u;
    // One normal factor where it exists (a subnormal one would round the
    // smaller values); subnormal data take 2^1021 first, exactly.
    const int e = u.exponent() + 400;
    if (e <= 1023) return {std::ldexp(1.0, e), 1.0};
    return {0x1p1021, std::ldexp(1.0, e - 1021)};
}
inline core::Unit rolling_unit(std::span<const double> x) noexcept {
    return rolling_unit(core::max_finite_magnitude(x));
}

// The largest finite magnitude a scalar kernel has read, kept beside its sums.
struct Largest {
    double big = 0.0;
    // Branch-free: an infinity or NaN counts as 0.
    [[gnu::always_inline]] void add(double v) noexcept {
        const double f = core::finite_magnitude(v);
        big = f > big ? f : big;
    }
};

// The largest finite magnitude of x from its largest magnitude (kept with the
// infinities by kernels that use core::Magnitudes<false>, which takes fewer
// operations per value): one more pass only for data holding an infinity.
inline double finite_largest(double largest, std::span<const double> x) noexcept {
    return std::isfinite(largest) ? largest : core::max_finite_magnitude(x);
}

// What a pass that may stop returns besides the largest finite magnitude
// it read: that it stopped early (its outputs are incomplete), or that it read
// everything without knowing that magnitude.
inline constexpr double kStopped = -1.0;
inline constexpr double kUnknown = -2.0;

// For a pass that keeps, instead of the largest magnitude, the largest of its
// sums of |v| over windows of at most w values (`top`; at least the largest
// |v|, at most w times it): that magnitude when the bound shows it in the
// plain range (any value in the range serves), else kUnknown.
inline double largest_within(double top, double w) noexcept {
    return top <= 0x1p250 && top >= w * 0x1p-250 ? top : kUnknown;
}

// n outputs at p, carrying the power px of x's unit and py of y's.
struct UnitOut {
    double* p;
    size_t n;
    int px, py = 0;
};

// The outputs, computed on data read in units ux (and uy), scaled back.
inline void scale_back(std::span<const UnitOut> outs, const core::Unit& ux, const core::Unit& uy = {}) noexcept {
    for (const UnitOut& o : outs) core::scale_by_pow2(o.p, o.n, -(ux.exponent() * o.px + uy.exponent() * o.py));
}

// run(x as read in its unit) for kernels that read every value many times
// (one magnitude pass first is a small share of their work), then the outputs
// scaled back. The scaled copy goes to `scratch` (x.size() doubles, x's own
// buffer allowed) when given.
template <class Run>
void in_unit(std::span<const double> x, std::span<const UnitOut> outs, Run&& run, double* scratch = nullptr) {
    const core::Unit u = rolling_unit(x);
    if (u.identity()) return run(x);
    if (scratch) {
        for (size_t i = 0; i < x.size(); ++i) scratch[i] = u(x[i]);
        run(std::span<const double>(scratch, x.size()));
    } else {
        const core::InUnit xs(x, u);
        run(xs.span());
    }
    scale_back(outs, u);
}
// The unit of x for a pass that returned `big`; `rerun` when that pass
// stopped early and x is read as it is after all.
inline core::Unit unit_after(std::span<const double> x, double big, bool& rerun) noexcept {
    if (big >= 0.0 && core::plain_range(big)) return {};
    const core::Unit u = rolling_unit(big >= 0.0 ? big : core::max_finite_magnitude(x));
    rerun = rerun || (big == kStopped && u.identity());
    return u;
}

// run(x, may_stop) reads x as it is and returns the largest finite magnitude
// it read, kStopped or kUnknown; data beyond the plain range are then read
// again in their unit, without stopping, and the outputs scaled back.
template <class Run>
void read_in_unit(std::span<const double> x, std::initializer_list<UnitOut> outs, Run&& run) {
    bool rerun = false;
    const core::Unit u = unit_after(x, run(x, true), rerun);
    if (u.identity()) {
        if (rerun) run(x, false);
        return;
    }
    const core::InUnit xs(x, u);
    run(xs.span(), false);
    scale_back(std::span<const UnitOut>(outs.begin(), outs.size()), u);
}

// The same for two series, each in its own unit (outputs carry a power of
// each: a covariance the product of both, a slope y's over x's). run returns
// the pair of largest magnitudes (kStopped for both if it stopped).
template <class Run>
void read_in_units(std::span<const double> x, std::span<const double> y, std::initializer_list<UnitOut> outs,
                   Run&& run) {
    const auto [bx, by] = run(x, y, true);
    bool rerun = false;
    const core::Unit ux = unit_after(x, bx, rerun), uy = unit_after(y, by, rerun);
    if (ux.identity() && uy.identity()) {
        if (rerun) run(x, y, false);
        return;
    }
    const core::InUnit xs(x, ux), ys(y, uy);
    run(xs.span(), ys.span(), false);
    scale_back(std::span<const UnitOut>(outs.begin(), outs.size()), ux, uy);
}

}  // namespace ms::kernels::rolling
