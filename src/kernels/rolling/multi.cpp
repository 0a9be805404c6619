#include "kernels/rolling/multi.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/parallel.hpp"
#include "core/sums.hpp"
#include "core/constants.hpp"
#include "kernels/rolling/units.hpp"

// Wider vector lanes where the compiler can target them per function.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MS_WIDE_LANES 1
#else
#define MS_WIDE_LANES 0
#endif

namespace ms::kernels::rolling {

using core::Kahan;
namespace {


// Which accumulators a mask needs.
enum Need : unsigned { kRaw = 1, kMoments = 2, kExtremes = 4 };

unsigned needs(StatsMask m) noexcept {
    return (m.has(kMean) ? kRaw : 0u) | (m.has(kStd) || m.has(kVar) ? kMoments : 0u) |
           (m.has(kMin) || m.has(kMax) ? kExtremes : 0u);
}

// Lane types: one window per double, or several windows side by side in a
// vector. The wider vectors are used only inside functions compiled for the
// instruction sets that have them.
using V2 = double __attribute__((vector_size(16)));
#if MS_WIDE_LANES
using V4 = double __attribute__((vector_size(32)));
using V8 = double __attribute__((vector_size(64)));
#endif

#define MS_LANE_FN [[gnu::always_inline]] static inline

template <class T>
struct Lanes {
    static constexpr size_t W = sizeof(T) / sizeof(double);
    MS_LANE_FN T load(const double* p) noexcept {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    MS_LANE_FN void store(double* p, T v) noexcept { std::memcpy(p, &v, sizeof v); }
    MS_LANE_FN T splat(double v) noexcept {
        if constexpr (W == 1) {
            return v;
        } else {
            T r;
            for (size_t i = 0; i < W; ++i) r[i] = v;
            return r;
        }
    }
    template <class M>
    MS_LANE_FN T pick(M m, T a, T b) noexcept {
        return m ? a : b;
    }
};

// Accumulated values of one window.
struct WindowSums {
    double count, s1, s2, sx, lo, hi;
};

// Sums of B = W * NV windows of m values each; window l starts at x + l.
// Skip leaves NaN values out of every accumulator (an addition is undone by
// keeping the old sum and compensation); without it NaN values go into the
// sums, which then only matter when the window holds no NaN.
template <unsigned N, bool Skip, class T, size_t NV>
[[gnu::always_inline]] inline void accumulate(const double* x, size_t m, const double* shift,
                                              WindowSums* out) noexcept {
    using O = Lanes<T>;
    constexpr size_t W = O::W;
    const T one = O::splat(1.0), zero = O::splat(0.0);
    T s[NV], c[NV], lo[NV], hi[NV];
    Kahan<T> sx[NV], s1[NV], s2[NV];
    for (size_t q = 0; q < NV; ++q) {
        s[q] = O::load(shift + W * q);
        c[q] = zero;
        lo[q] = O::splat(kInf);
        hi[q] = O::splat(-kInf);
        sx[q] = {zero, zero};
        s1[q] = {zero, zero};
        s2[q] = {zero, zero};
    }
    auto add = [](Kahan<T> & k, T v, auto ok) __attribute__((always_inline)) {
        if constexpr (Skip) {
            T y = v - k.c;
            T t = k.sum + y;
            T e = (t - k.sum) - y;
            k.sum = O::pick(ok, t, k.sum);
            k.c = O::pick(ok, e, k.c);
        } else {
            k.add(v);
        }
    };
    for (size_t j = 0; j < m; ++j) {
        for (size_t q = 0; q < NV; ++q) {
            T v = O::load(x + j + W * q);
            auto ok = v == v;
            c[q] = c[q] + O::pick(ok, one, zero);
            if constexpr (N & kExtremes) {
                lo[q] = O::pick(v < lo[q], v, lo[q]);
                hi[q] = O::pick(v > hi[q], v, hi[q]);
            }
            if constexpr (N & kMoments) {
                T d = v - s[q];
                add(s1[q], d, ok);
                add(s2[q], d * d, ok);
            }
            if constexpr (N & kRaw) add(sx[q], v, ok);
        }
    }
    double tmp[6][W * NV];
    for (size_t q = 0; q < NV; ++q) {
        O::store(tmp[0] + W * q, c[q]);
        O::store(tmp[1] + W * q, s1[q].sum);
        O::store(tmp[2] + W * q, s2[q].sum);
        O::store(tmp[3] + W * q, sx[q].sum);
        O::store(tmp[4] + W * q, lo[q]);
        O::store(tmp[5] + W * q, hi[q]);
    }
    for (size_t l = 0; l < W * NV; ++l)
        out[l] = WindowSums{tmp[0][l], tmp[1][l], tmp[2][l], tmp[3][l], tmp[4][l], tmp[5][l]};
}

// The sums of one block of windows, in the widest lanes the processor has.
using BlockFn = void (*)(const double* x, size_t m, const double* shift, WindowSums* out);
constexpr size_t kNV = 4;  // vectors in flight: enough to hide the latency of a Kahan step

template <unsigned N, bool Skip>
void block_base(const double* x, size_t m, const double* shift, WindowSums* out) {
    accumulate<N, Skip, V2, kNV>(x, m, shift, out);
}
#if MS_WIDE_LANES
template <unsigned N, bool Skip>
__attribute__((target("avx2"))) void block_avx2(const double* x, size_t m, const double* shift, WindowSums* out) {
    accumulate<N, Skip, V4, kNV>(x, m, shift, out);
}
template <unsigned N, bool Skip>
__attribute__((target("avx512f"))) void block_avx512(const double* x, size_t m, const double* shift,
                                                     WindowSums* out) {
    accumulate<N, Skip, V8, kNV>(x, m, shift, out);
}
#endif

// The block function and its width (windows per block) for this processor.
// Every width computes each window with the same operations in the same
// order, so the choice never changes a result.
template <unsigned N, bool Skip>
std::pair<BlockFn, size_t> block_fn() {
#if MS_WIDE_LANES
    static const int level = __builtin_cpu_supports("avx512f") ? 2 : __builtin_cpu_supports("avx2") ? 1 : 0;
    if (level == 2) return {&block_avx512<N, Skip>, 8 * kNV};
    if (level == 1) return {&block_avx2<N, Skip>, 4 * kNV};
#endif
    return {&block_base<N, Skip>, 2 * kNV};
}

// Sample variance, negative rounding clamped to 0.0; a NaN variance (an
// infinity in the window) stays NaN.
double clamp_var(double c, double s1, double s2) noexcept {
    double m = s1 / c;
    double v = (s2 - m * (m * c)) / (c - 1.0);
    return v > 0.0 || std::isnan(v) ? v : 0.0;
}

enum class Rule { Trailing, TrailingSkip, Centered };

struct Writer {
    StatBufs bufs;
    StatsMask mask;
    Rule rule;
    bool propagate;
    size_t window;
    std::optional<uint64_t> min_periods;

    void put(unsigned stat, size_t k, double v) const noexcept {
        if (mask.has(stat)) bufs.out[stat][k] = v;
    }

    // Statistics of output k from the sums of a window of t values.
    void write_stats(size_t k, size_t t, const WindowSums& a) const noexcept {
        const uint64_t c = static_cast<uint64_t>(a.count);
        bool first, second;  // first-order stats (mean, min, max), variance
        if (rule == Rule::Trailing) {
            if (c < t) {  // a NaN in the window: nothing, not even the count
                for (unsigned i = 0; i < kNumStats; ++i) put(i, k, kNaN);
                return;
            }
            first = second = true;
        } else if (rule == Rule::TrailingSkip) {
            uint64_t p = min_periods.value_or(window);
            first = c >= p;
            second = c >= p && c >= 2;
        } else {
            uint64_t r = min_periods.value_or(t);
            bool usable = !propagate || c == t;
            first = usable && c >= r;
            second = first && c >= 2;
        }
        if (mask.has(kMean)) put(kMean, k, first ? a.sx / a.count : kNaN);
        if (mask.has(kStd) || mask.has(kVar)) {
            double v = kNaN;
            if (second)
                v = c == 1 ? (a.s2 == 0.0 ? 0.0 : kNaN)  // one finite value: no spread
                           : clamp_var(a.count, a.s1, a.s2);
            put(kVar, k, v);
            put(kStd, k, std::sqrt(v));
        }
        put(kCount, k, a.count);
        put(kMin, k, first ? a.lo : kNaN);
        put(kMax, k, first ? a.hi : kNaN);
    }
};

// The shift of the window x[0], ..., x[m - 1]: its first non-NaN value; with
// NaN values not skipped, a non-finite first value gives 0.0 instead.
template <bool Skip>
double window_shift(const double* x, size_t m) noexcept {
    if constexpr (!Skip) return std::isfinite(x[0]) ? x[0] : 0.0;
    for (size_t j = 0; j < m; ++j)
        if (!std::isnan(x[j])) return x[j];
    return 0.0;
}

// Windows k0 .. k1 - 1 of m values, window k starting at x + k - off.
template <unsigned N, bool Skip>
void run_windows(const double* x, size_t off, size_t m, size_t k0, size_t k1, const Writer& w, bool parallel) {
    constexpr size_t kMaxBlock = 8 * kNV;
    const auto [fn, B] = block_fn<N, Skip>();
    const size_t blocks = (k1 - k0) / B;
    const unsigned team = parallel ? core::team_for(static_cast<double>(blocks * B) * static_cast<double>(m),
                                                    kWindowValuesPerMs, blocks)
                                   : 1;
    core::run_ranges(team, blocks, 8, [&](size_t b0, size_t b1, unsigned) {
        for (size_t b = b0; b < b1; ++b) {
            size_t k = k0 + b * B;
            const double* start = x + (k - off);
            double shift[kMaxBlock];
            for (size_t l = 0; l < B; ++l) shift[l] = window_shift<Skip>(start + l, m);
            WindowSums sums[kMaxBlock];
            fn(start, m, shift, sums);
            for (size_t l = 0; l < B; ++l) w.write_stats(k + l, m, sums[l]);
        }
    });
    for (size_t k = k0 + blocks * B; k < k1; ++k) {
        const double* start = x + (k - off);
        double shift = window_shift<Skip>(start, m);
        WindowSums sums;
        accumulate<N, Skip, double, 1>(start, m, &shift, &sums);
        w.write_stats(k, m, sums);
    }
}

template <unsigned N, bool Skip>
void run(std::span<const double> x, const Writer& w, bool parallel) {
    const size_t n = x.size();
    if (w.rule != Rule::Centered) {
        run_windows<N, Skip>(x.data(), 0, w.window, 0, n - w.window + 1, w, parallel);
        return;
    }
    // Centred: positions h .. n - h - 1 see whole windows of 2h + 1 values,
    // the others windows cut short at the ends of the series.
    const uint64_t h = w.window / 2;
    const bool interior = h < n && n - h - 1 >= h;
    const size_t i0 = interior ? h : n, i1 = interior ? n - h : n;
    for (size_t i = 0; i < n; ++i) {
        if (i == i0) {
            run_windows<N, Skip>(x.data(), h, 2 * h + 1, i0, i1, w, parallel);
            i = i1 - 1;
            continue;
        }
        size_t lo = i >= h ? i - h : 0;
        size_t hi = h >= n - i ? n : i + h + 1;
        double shift = window_shift<Skip>(x.data() + lo, hi - lo);
        WindowSums sums;
        accumulate<N, Skip, double, 1>(x.data() + lo, hi - lo, &shift, &sums);
        w.write_stats(i, hi - lo, sums);
    }
}

template <bool Skip>
void dispatch(unsigned n, std::span<const double> x, const Writer& w, bool parallel) {
    switch (n) {
        case 0: return run<0, Skip>(x, w, parallel);
        case 1: return run<1, Skip>(x, w, parallel);
        case 2: return run<2, Skip>(x, w, parallel);
        case 3: return run<3, Skip>(x, w, parallel);
        case 4: return run<4, Skip>(x, w, parallel);
        case 5: return run<5, Skip>(x, w, parallel);
        case 6: return run<6, Skip>(x, w, parallel);
        default: return run<7, Skip>(x, w, parallel);
    }
}

// Every requested buffer of x's L > 0 outputs.
void fill(std::span<const double> x, const RollingConfig& cfg, StatsMask mask, const StatBufs& bufs,
          bool parallel) {
    Rule rule = cfg.alignment == Alignment::Centered     ? Rule::Centered
                : cfg.nan_policy == NanPolicy::Propagate ? Rule::Trailing
                                                         : Rule::TrailingSkip;
    Writer w{bufs,           mask, rule, cfg.nan_policy == NanPolicy::Propagate, static_cast<size_t>(cfg.window),
             cfg.min_periods};
    if (rule == Rule::Trailing)
        dispatch<false>(needs(mask), x, w, parallel);
    else
        dispatch<true>(needs(mask), x, w, parallel);
}

}  // namespace

void rolling_multi_into(std::span<const double> x, const RollingConfig& cfg, StatsMask mask, const StatBufs& bufs,
                        bool parallel, double* scratch) {
    static constexpr const char* kMismatch[kNumStats] = {"out_mean length mismatch", "out_std length mismatch",
                                                         "out_var length mismatch",  "out_count length mismatch",
                                                         "out_min length mismatch",  "out_max length mismatch"};
    const size_t L = cfg.output_len(x.size());
    for (unsigned i = 0; i < kNumStats; ++i)
        if (mask.has(i) && bufs.out[i].size() != L) throw std::logic_error(kMismatch[i]);
    if (L == 0) return;
    // Each statistic's power of the data's unit: a variance carries its
    // square, the count none.
    static constexpr int kPower[kNumStats] = {1, 1, 2, 0, 1, 1};
    UnitOut outs[kNumStats];
    size_t nouts = 0;
    for (unsigned i = 0; i < kNumStats; ++i)
        if (mask.has(i)) outs[nouts++] = {bufs.out[i].data(), L, kPower[i]};
    in_unit(
        x, std::span<const UnitOut>(outs, nouts),
        [&](std::span<const double> xs) { fill(xs, cfg, mask, bufs, parallel); }, scratch);
}

}  // namespace ms::kernels::rolling
