#include "kernels/rolling/pairwise.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/spread.hpp"
#include "kernels/rolling/resum.hpp"
#include "core/constants.hpp"
#include "kernels/rolling/units.hpp"

namespace ms::kernels::rolling {
namespace {

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

// 1.0 where a value is kept, NaN where it is not: a factor that keeps a
// value to the bit or makes it NaN, so that the outputs of a run are formed
// in full in every lane and then masked (taken before the value's last
// division, so that the compiler need not guard that division).
[[gnu::always_inline]] inline double keep_if(bool keep) noexcept { return keep ? 1.0 : kNaN; }

// Steps whose sums a walk keeps before testing them and forming their outputs.
constexpr size_t kRun = 64;

// The sums after each step of a run, column by column.
struct RunSums {
    double sx[kRun], sy[kRun], sxx[kRun], syy[kRun], sxy[kRun], pxx[kRun], pyy[kRun], c[kRun];
    Sums at(size_t j) const noexcept { return Sums{sx[j], sy[j], sxx[j], syy[j], sxy[j]}; }
    void put(size_t j, const Sums& s, double cd) noexcept {
        sx[j] = s.sx;
        sy[j] = s.sy;
        sxx[j] = s.sxx;
        syy[j] = s.syy;
        sxy[j] = s.sxy;
        c[j] = cd;
    }
};

// Walks the full windows of (x, y), calling emit(k, m, r, sx, sy) for each
// run of windows k .. k + m - 1, whose sums are r.*[0 .. m - 1] (r.c the
// number of pairs in them, a double, exactly), and sx, sy the shifts.
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
//
// The steps go in runs: the sums of every step of a run first, alone in their
// loop; then the test of every step and the outputs, in loops without
// dependences between steps (their divisions fill vector lanes). A step that
// fails the test ends its run there: the sums after it are dropped and the
// next run starts from that step's kept sums. Runs start short after such a
// step and double up to kRun, so that windows that fail one after the other
// (a non-finite value in them) cost little more than one step each.
//
// Returns the largest finite magnitudes of x and y read, or kStopped for
// both when `may_stop` let it stop early (units.hpp).
using Largests = std::pair<double, double>;
template <bool Usable, class Emit>
[[gnu::always_inline]] inline Largests walk_runs(std::span<const double> x, std::span<const double> y, size_t w,
                                                 Emit& emit, bool may_stop) {
    const size_t n = x.size();
    if (w == 0 || n < w || y.size() != n) return {0.0, 0.0};  // nothing read
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
    double pxx = 0.0, pyy = 0.0;    // the largest sums of squares since the sums were built
    size_t c = 0, last = SIZE_MAX;  // the latest pair holding a non-finite value (SIZE_MAX: none)
    core::Magnitudes<false> lx, ly;  // of the values read, infinities included
    lx.add(x.first(w));
    ly.add(y.first(w));
    for (size_t i = 0; i < w; ++i) {
        last = flagged(i) ? i : last;
        if (usable(i)) {
            s.add(x[i] - sx, y[i] - sy);
            ++c;
        }
    }
    pxx = s.sxx;
    pyy = s.syy;
    const size_t L = n - w + 1;
    RunSums r;
    r.put(0, s, static_cast<double>(c));
    emit(size_t{0}, size_t{1}, r, sx, sy);
    size_t run = kRun;
    for (size_t k = 1; k < L;) {
        const size_t m = std::min(run, L - k);
        {
            Sums t = s;
            double px = pxx, py = pyy, cd = static_cast<double>(c);  // cd: the count, exactly
            const double *xo = x.data() + k - 1, *yo = y.data() + k - 1;
            const double *xi = x.data() + k + w - 1, *yi = y.data() + k + w - 1;
            for (size_t j = 0; j < m; ++j) {
                if constexpr (Usable) {
                    if (!(std::isnan(xo[j]) || std::isnan(yo[j]))) {
                        t.remove(xo[j] - sx, yo[j] - sy);
                        cd -= 1.0;
                    }
                    if (!(std::isnan(xi[j]) || std::isnan(yi[j]))) {
                        t.add(xi[j] - sx, yi[j] - sy);
                        cd += 1.0;
                    }
                } else {
                    t.slide(xi[j] - sx, yi[j] - sy, xo[j] - sx, yo[j] - sy);
                }
                px = t.sxx > px ? t.sxx : px;
                py = t.syy > py ? t.syy : py;
                r.sx[j] = t.sx;
                r.sy[j] = t.sy;
                r.sxx[j] = t.sxx;
                r.syy[j] = t.syy;
                r.sxy[j] = t.sxy;
                r.pxx[j] = px;
                r.pyy[j] = py;
                r.c[j] = cd;
            }
        }
        lx.add(x.subspan(k + w - 1, m));
        ly.add(y.subspan(k + w - 1, m));
        // One test of both rules, false for NaN. The other sums are finite
        // while the sums of squares are.
        auto fine = [&](size_t j) __attribute__((always_inline)) {
            const double cd = r.c[j], floor = cd * share;
            return (r.sxx[j] <= kLargest) & (r.syy[j] <= kLargest) &
                   (cd * r.sxx[j] - r.sx[j] * r.sx[j] >= floor * r.pxx[j]) &
                   (cd * r.syy[j] - r.sy[j] * r.sy[j] >= floor * r.pyy[j]);
        };
        unsigned failed = 0;
        for (size_t j = 0; j < m; ++j) failed |= fine(j) ? 0u : 1u;
        size_t good = m;
        if (failed)
            for (good = 0; good < m && fine(good);) ++good;
        if (good) emit(k, good, r, sx, sy);
        // The state after the last good step, or after the failing one.
        const size_t g = good < m ? good : m - 1;
        s = r.at(g);
        pxx = r.pxx[g];
        pyy = r.pyy[g];
        // A caller rewriting the data between a value's entry and exit can
        // leave the running count below zero; it is only a count, not an index.
        c = r.c[g] > 0.0 ? static_cast<size_t>(r.c[g]) : 0;
        if (good == m) {
            k += m;
            run = std::min(2 * run, kRun);
            continue;
        }
        // Step kf failed. A pair holding a non-finite value leaves the sums
        // non-finite from the step it enters until they are rebuilt, so such
        // pairs are looked for only on failing steps.
        const size_t kf = k + good, i = kf + w - 1;
        last = flagged(i) ? i : last;
        const bool settled = last == SIZE_MAX || last < kf;
        if (settled) {
            const Walked now = settle<Usable>(x, y, kf, w, c, share, Walked{s, sx, sy, pxx, pyy});
            s = now.s;
            sx = now.sx;
            sy = now.sy;
            pxx = now.pxx;
            pyy = now.pyy;
        }
        r.put(0, s, static_cast<double>(c));
        r.pxx[0] = pxx;
        r.pyy[0] = pyy;
        // Sums summed afresh from finite values that still fail: their
        // squares overflow or underflow (units.hpp). One pair has no spread
        // to keep.
        if (settled && may_stop && (!s.finite() || (c >= 2 && !fine(0))))
            return {kStopped, kStopped};
        emit(kf, size_t{1}, r, sx, sy);
        k = kf + 1;
        run = 1;
    }
    return {finite_largest(lx.largest(), x), finite_largest(ly.largest(), y)};
}

template <bool Usable, class Emit>
Largests walk_base(std::span<const double> x, std::span<const double> y, size_t w, Emit& emit, bool may_stop) {
    return walk_runs<Usable>(x, y, w, emit, may_stop);
}
#if defined(__x86_64__) && defined(__GNUC__)
template <bool Usable, class Emit>
__attribute__((target("avx2"))) Largests walk_avx2(std::span<const double> x, std::span<const double> y,
                                                   size_t w, Emit& emit, bool may_stop) {
    return walk_runs<Usable>(x, y, w, emit, may_stop);
}
#endif

// The same walk compiled for wider vector lanes where the processor has them;
// the lanes hold different steps, so the width never changes a result.
template <bool Usable, class Emit>
Largests walk(std::span<const double> x, std::span<const double> y, size_t w, bool may_stop, Emit&& emit) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return walk_avx2<Usable>(x, y, w, emit, may_stop);
#endif
    return walk_base<Usable>(x, y, w, emit, may_stop);
}

}  // namespace

// One pair has no sample covariance (the divisor w - 1 is zero): windows of
// one pair are all NaN.
static bool no_spread(size_t n, size_t w, double* out) {
    if (w >= 2) return false;
    std::fill_n(out, n + 1 - w, kNaN);
    return true;
}

// Full windows of n values.
static size_t full(size_t n, size_t w) { return n >= w ? n - w + 1 : 0; }

// The walk over x and y as read in their units, the outputs scaled back.
template <bool Usable, class Emit>
static void walk_in_units(std::span<const double> x, std::span<const double> y, size_t w,
                          std::initializer_list<UnitOut> outs, Emit emit) {
    read_in_units(x, y, outs, [&](std::span<const double> xs, std::span<const double> ys, bool may_stop) {
        return walk<Usable>(xs, ys, w, may_stop, emit);
    });
}

void rolling_cov_pairs(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    if (no_spread(x.size(), w, out)) return;
    const UnitOut cov = {out, full(x.size(), w), 1, 1};  // in x's unit times y's
    walk_in_units<false>(x, y, w, {cov}, [out, W](size_t k, size_t m, const RunSums& r, double, double) {
        double* o = out + k;
        for (size_t j = 0; j < m; ++j) {
            const double mx = r.sx[j] / W, my = r.sy[j] / W;
            o[j] = (r.sxy[j] - my * (mx * W)) / (W - 1.0);
        }
    });
}

// The denominator is sqrt(vx) * sqrt(vy), whose product cannot overflow or
// underflow while the variances themselves do not.
void rolling_corr_pairs(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    if (no_spread(x.size(), w, out)) return;
    walk_in_units<false>(x, y, w, {}, [out, W](size_t k, size_t m, const RunSums& r, double, double) {
        double* o = out + k;
        for (size_t j = 0; j < m; ++j) {
            const double mx = r.sx[j] / W, my = r.sy[j] / W;
            const double vx = std::fmax((r.sxx[j] - mx * (mx * W)) / (W - 1.0), 0.0);
            const double vy = std::fmax((r.syy[j] - my * (my * W)) / (W - 1.0), 0.0);
            const double den = std::sqrt(vx) * std::sqrt(vy);
            const double q = clamp_unit(((r.sxy[j] - (mx * W) * my) / (W - 1.0)) / den);
            o[j] = (den == 0.0) | std::isnan(den) ? kNaN : q;
        }
    });
}

void rolling_cov_usable(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    if (no_spread(x.size(), w, out)) return;
    const UnitOut cov = {out, full(x.size(), w), 1, 1};
    walk_in_units<true>(x, y, w, {cov}, [out, W](size_t k, size_t m, const RunSums& r, double, double) {
        double* o = out + k;
        for (size_t j = 0; j < m; ++j) {
            const double keep = keep_if(r.c[j] == W);
            o[j] = ((r.sxy[j] - (r.sx[j] * r.sy[j]) / W) / (W - 1.0)) * keep;
        }
    });
}

void rolling_corr_usable(std::span<const double> x, std::span<const double> y, size_t w, double* out) {
    const double W = static_cast<double>(w);
    walk_in_units<true>(x, y, w, {}, [out, W](size_t k, size_t m, const RunSums& r, double, double) {
        for (size_t j = 0; j < m; ++j) {
            double v = kNaN;
            const double K = r.c[j];
            if (K == W && K >= 2.0) {
                const double vy = (r.syy[j] - (r.sy[j] * r.sy[j]) / K) / (K - 1.0);
                const double vx = (r.sxx[j] - (r.sx[j] * r.sx[j]) / K) / (K - 1.0);
                const double cxy = (r.sxy[j] - (r.sx[j] * r.sy[j]) / K) / (K - 1.0);
                if (std::isfinite(vx) && vx > 0.0 && std::isfinite(vy) && vy > 0.0 && std::isfinite(cxy))
                    v = clamp_unit(cxy / core::sqrt_product(vx, vy));
            }
            out[k + j] = v;
        }
    });
}

// Slope of y on x over K usable pairs; NaN for fewer than two pairs or no
// finite positive spread of x.
[[gnu::always_inline]] inline double slope(const RunSums& r, size_t j) noexcept {
    const double K = r.c[j];
    const double vx = (r.sxx[j] - (r.sx[j] * r.sx[j]) / K) / (K - 1.0);
    const double keep = keep_if((K >= 2.0) & (vx > 0.0) & (vx <= kLargest));
    return (((r.sxy[j] - (r.sx[j] * r.sy[j]) / K) / (K - 1.0)) / vx) * keep;
}

void rolling_line_usable(std::span<const double> x, std::span<const double> y, size_t w, double* slopes,
                         double* intercepts) {
    // The slope carries y's unit over x's, the intercept y's.
    const size_t L = full(x.size(), w);
    const UnitOut slope_units = {slopes, L, -1, 1}, intercept_units = {intercepts, L, 0, 1};
    if (!intercepts) {
        auto emit = [slopes](size_t k, size_t m, const RunSums& r, double, double) {
            double* o = slopes + k;
            for (size_t j = 0; j < m; ++j) o[j] = slope(r, j);
        };
        walk_in_units<true>(x, y, w, {slope_units}, emit);
        return;
    }
    auto emit = [slopes, intercepts](size_t k, size_t m, const RunSums& r, double sx, double sy) {
        double *os = slopes + k, *oi = intercepts + k;
        for (size_t j = 0; j < m; ++j) {
            const double b = slope(r, j), K = r.c[j];
            os[j] = b;
            oi[j] = (sy + (r.sy[j] / K - (r.sx[j] / K) * b)) - sx * b;  // NaN with b
        }
    };
    walk_in_units<true>(x, y, w, {slope_units, intercept_units}, emit);
}

}  // namespace ms::kernels::rolling
