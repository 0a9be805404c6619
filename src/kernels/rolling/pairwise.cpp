#include "kernels/rolling/pairwise.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/spread.hpp"
#include "kernels/rolling/resum.hpp"

namespace ms::kernels::rolling {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kLargest = std::numeric_limits<double>::max();

double clamp_unit(double r) noexcept { return r < -1.0 ? -1.0 : r > 1.0 ? 1.0 : r; }

// The running sums of shifted pairs. Every kernel keeps the squares of both
// sides, which tell when the sums have to start again (resum.hpp).
struct Sums {
    double sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0;
    void add(double dx, double dy) noexcept {
        sx += dx;
        sy += dy;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    void remove(double dx, double dy) noexcept {
        sx -= dx;
        sy -= dy;
        sxx -= dx * dx;
        syy -= dy * dy;
        sxy -= dx * dy;
    }
    // One step of the plain family: each difference first, then added.
    void slide(double dxn, double dyn, double dxo, double dyo) noexcept {
        sx = sx + (dxn - dxo);
        sy = sy + (dyn - dyo);
        sxy = sxy + (dxn * dyn - dxo * dyo);
        sxx = sxx + (dxn * dxn - dxo * dxo);
        syy = syy + (dyn * dyn - dyo * dyo);
    }
    bool finite() const noexcept {
        return std::isfinite(sx) && std::isfinite(sy) && std::isfinite(sxx) && std::isfinite(syy) &&
               std::isfinite(sxy);
    }
};

// The sums of the w pairs from x, y (the usable ones), summed afresh. Out of
// line and returned by value, so that the running sums stay in registers.
template <bool Usable>
[[gnu::noinline]] Sums fresh_sums(const double* x, const double* y, size_t w, double sx, double sy) noexcept {
    Sums f;
    for (size_t i = 0; i < w; ++i)
        if (!Usable || !(std::isnan(x[i]) || std::isnan(y[i]))) f.add(x[i] - sx, y[i] - sy);
    return f;
}

// The running state of a walk, handed by value to the rare steps so that
// the common one keeps it in registers.
struct Walked {
    Sums s;
    double sx, sy, pxx, pyy;
};

// Window k, free of non-finite values, whose sums failed the one test of a
// step: sums that are not finite are summed afresh; then, with two or more
// pairs, sums whose spread is lost on either side start again around the
// window's first pair.
template <bool Usable>
[[gnu::noinline]] Walked settle(std::span<const double> x, std::span<const double> y, size_t k, size_t w, size_t c,
                                double share, Walked st) noexcept {
    auto fresh = [&] {
        st.s = fresh_sums<Usable>(x.data() + k, y.data() + k, w, st.sx, st.sy);
        st.pxx = st.s.sxx;
        st.pyy = st.s.syy;
    };
    if (!st.s.finite()) fresh();
    const double K = static_cast<double>(c);
    if (c >= 2 &&
        (spread_lost(K, st.s.sx, st.s.sxx, st.pxx, share) || spread_lost(K, st.s.sy, st.s.syy, st.pyy, share))) {
        size_t f = k;  // bounded: a caller rewriting the data must not take us past the window
        while (Usable && f + 1 < k + w && (std::isnan(x[f]) || std::isnan(y[f]))) ++f;
        st.sx = x[f];
        st.sy = y[f];
        fresh();
    }
    return st;
}

// Walks the full windows of (x, y), calling emit(k, sums, c, sx, sy) for
// each, with c the number of pairs in the sums and sx, sy the shifts.
// `Usable` leaves pairs with a NaN out and slides by removing the leaving
// pair, then adding the entering one; otherwise every pair enters and the
// sums slide by differences. The shifts are the first finite value of each
// series among the pairs that enter the sums.
//
// A sum that has taken in a non-finite value stays NaN (or infinite) after
// that value has left the window: the latest pair holding one is kept (for
// `Usable`, the latest infinite one that entered), and once it has left
// while a sum is still not finite, the window is summed afresh. Windows that
// hold one keep the sums' own arithmetic. Once none is left, sums of two or
// more pairs whose spread is lost on either side are summed afresh around the
// window's first pair.
template <bool Usable, class Emit>
void walk(std::span<const double> x, std::span<const double> y, size_t w, Emit&& emit) {
    const size_t n = x.size();
    if (w == 0 || n < w || y.size() != n) return;
    auto usable = [&](size_t i) { return !Usable || !(std::isnan(x[i]) || std::isnan(y[i])); };
    auto flagged = [&](size_t i) { return usable(i) && !(std::isfinite(x[i]) && std::isfinite(y[i])); };
    auto first_finite = [&](std::span<const double> v) {
        for (size_t i = 0; i < n; ++i)
            if (usable(i) && std::isfinite(v[i])) return v[i];
        return 0.0;
    };
    double sx = first_finite(x), sy = first_finite(y);
    const double share = trusted_share(w);
    Sums s;
    double pxx = 0.0, pyy = 0.0;  // the largest sums of squares since the sums were built
    size_t c = 0, last = SIZE_MAX;  // the latest pair holding a non-finite value (SIZE_MAX: none)
    for (size_t i = 0; i < w; ++i) {
        last = flagged(i) ? i : last;
        if (usable(i)) {
            s.add(x[i] - sx, y[i] - sy);
            ++c;
        }
    }
    pxx = s.sxx;
    pyy = s.syy;
    double cd = static_cast<double>(c);  // c as a double, kept alongside
    emit(size_t{0}, s, c, sx, sy);
    const size_t L = n - w + 1;
    for (size_t k = 1; k < L; ++k) {
        const size_t o = k - 1, i = k + w - 1;
        if constexpr (Usable) {
            if (usable(o)) {
                s.remove(x[o] - sx, y[o] - sy);
                --c;
                cd -= 1.0;
            }
            if (usable(i)) {
                s.add(x[i] - sx, y[i] - sy);
                ++c;
                cd += 1.0;
            }
        } else {
            s.slide(x[i] - sx, y[i] - sy, x[o] - sx, y[o] - sy);
        }
        pxx = s.sxx > pxx ? s.sxx : pxx;
        pyy = s.syy > pyy ? s.syy : pyy;
        last = flagged(i) ? i : last;
        // One test of both rules first, false for NaN. The other sums are
        // finite while the sums of squares are.
        const double floor = cd * share;
        const bool fine = (s.sxx <= kLargest) & (s.syy <= kLargest) &
                          (cd * s.sxx - s.sx * s.sx >= floor * pxx) & (cd * s.syy - s.sy * s.sy >= floor * pyy);
        if (!fine && (last == SIZE_MAX || last < k)) [[unlikely]] {
            const Walked now = settle<Usable>(x, y, k, w, c, share, Walked{s, sx, sy, pxx, pyy});
            s = now.s;
            sx = now.sx;
            sy = now.sy;
            pxx = now.pxx;
            pyy = now.pyy;
        }
        emit(k, s, c, sx, sy);
    }
}

// Slope of y on x over c usable pairs; NaN for fewer than two pairs or no
// finite positive spread of x.
double slope(const Sums& s, size_t c) noexcept {
    if (c < 2) return kNaN;
    const double K = static_cast<double>(c);
    const double vx = (s.sxx - (s.sx * s.sx) / K) / (K - 1.0);
    if (!(std::isfinite(vx) && vx > 0.0)) return kNaN;
    return ((s.sxy - (s.sx * s.sy) / K) / (K - 1.0)) / vx;
}

}  // namespace

// One pair has no sample covariance: the divisor w - 1 is zero.
void rolling_cov_pairs(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    if (w < 2) {
        std::fill_n(out, x.size() + 1 - w, kNaN);
        return;
    }
    walk<false>(x, y, w, [&](size_t k, const Sums& s, size_t, double, double) {
        const double mx = s.sx / W, my = s.sy / W;
        out[k] = (s.sxy - my * (mx * W)) / (W - 1.0);
    });
}

// The denominator is sqrt(vx) * sqrt(vy), whose product cannot overflow or
// underflow while the variances themselves do not.
void rolling_corr_pairs(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    if (w < 2) {
        std::fill_n(out, x.size() + 1 - w, kNaN);
        return;
    }
    walk<false>(x, y, w, [&](size_t k, const Sums& s, size_t, double, double) {
        const double mx = s.sx / W, my = s.sy / W;
        const double vx = std::fmax((s.sxx - mx * (mx * W)) / (W - 1.0), 0.0);
        const double vy = std::fmax((s.syy - my * (my * W)) / (W - 1.0), 0.0);
        const double den = std::sqrt(vx) * std::sqrt(vy);
        out[k] = den == 0.0 || std::isnan(den) ? kNaN : clamp_unit(((s.sxy - (mx * W) * my) / (W - 1.0)) / den);
    });
}

void rolling_cov_usable(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    walk<true>(x, y, w, [&](size_t k, const Sums& s, size_t c, double, double) {
        out[k] = c == w && w >= 2 ? (s.sxy - (s.sx * s.sy) / W) / (W - 1.0) : kNaN;
    });
}

void rolling_corr_usable(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    walk<true>(x, y, w, [&](size_t k, const Sums& s, size_t c, double, double) {
        out[k] = kNaN;
        if (c != w || c < 2) return;
        const double K = static_cast<double>(c);
        const double vy = (s.syy - (s.sy * s.sy) / K) / (K - 1.0);
        const double vx = (s.sxx - (s.sx * s.sx) / K) / (K - 1.0);
        const double cxy = (s.sxy - (s.sx * s.sy) / K) / (K - 1.0);
        if (std::isfinite(vx) && vx > 0.0 && std::isfinite(vy) && vy > 0.0 && std::isfinite(cxy))
            out[k] = clamp_unit(cxy / core::sqrt_product(vx, vy));
    });
}

void rolling_line_usable(std::span<const double> x, std::span<const double> y, size_t w, double* slopes,
                         double* intercepts) {
    walk<true>(x, y, w, [&](size_t k, const Sums& s, size_t c, double sx, double sy) {
        const double b = slope(s, c);
        slopes[k] = b;
        if (!intercepts) return;
        const double K = static_cast<double>(c);
        intercepts[k] = std::isnan(b) ? kNaN : (sy + (s.sy / K - (s.sx / K) * b)) - sx * b;
    });
}

}  // namespace ms::kernels::rolling
