#include "kernels/rolling/axis0.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>

#include "kernels/rolling/resum.hpp"
#include "kernels/rolling/units.hpp"

namespace ms::kernels::rolling {
namespace {

// Columns handled together: each row of a block is one contiguous read, and
// the block's sums stay in cache (and in vector lanes) across the rows.
constexpr size_t kBlock = 64;

// 1 for an infinity or NaN: all exponent bits set. An integer test, so that
// the loops over a block's columns stay vector loops.
inline uint64_t not_finite(double v) noexcept { return ((std::bit_cast<uint64_t>(v) >> 52) & 0x7ff) == 0x7ff; }

// One block of nb <= kBlock adjacent columns starting at c0. `Raw` sums the
// values themselves (shift 0.0, mean S / w); otherwise the shift is the
// column's first value when finite, the mean is shift + S1 / w, and the sums
// of squares are kept (for the sd, and to know when S1 has to start again).
// `Scaled` reads column j in its unit u[j] (the outputs are scaled back by
// the caller). Otherwise the block is read as it is, and what it returns says
// whether the outputs stand (units.hpp): every column's largest finite
// magnitude, found on the way, lies in the plain range (for the raw sums, the
// largest sum of |v| bounds it), or it is not known, or the block stopped
// early.
//
// A sum that has taken in a NaN or an infinity stays non-finite after that
// value has left the window, so a column whose window no longer holds one
// while a sum is still not finite is summed afresh; windows that hold one
// keep the sums' own arithmetic. Every non-finite value leaves the sums
// non-finite on the step it enters, so only then (rarely) does a column need
// looking at: `last` keeps the row of the latest non-finite value seen.
// Sums whose digits are gone (resum.hpp) are summed afresh too: the raw sum
// when the plain sum of |v| has fallen far below its largest value (a large
// value has left), the shifted ones when their spread is lost, around the
// window's first value.
enum class Read { Plain, Unknown, Stopped };

template <bool Raw, bool Mean, bool Sd, bool Scaled>
[[gnu::always_inline]] inline Read block(const double* x, size_t rows, size_t cols, size_t w, size_t c0, size_t nb,
                                         double* mean, double* sd, const core::Unit* units) {
    double s[kBlock], s1[kBlock], s2[kBlock], peak[kBlock], ua[kBlock], ub[kBlock], big[kBlock];
    ptrdiff_t last[kBlock];
    const double* base = x + c0;
    const double wd = static_cast<double>(w), wm1 = wd - 1.0;
    constexpr double kLargest = std::numeric_limits<double>::max();
    for (size_t j = 0; j < nb; ++j) {
        ua[j] = Scaled ? units[j].a : 1.0;
        ub[j] = Scaled ? units[j].b : 1.0;
    }
    // Value (i, j) of the block as read.
    auto at = [&](const double* row, size_t j) __attribute__((always_inline)) {
        return Scaled ? row[j] * ua[j] * ub[j] : row[j];
    };
    for (size_t j = 0; j < nb; ++j) {
        const double v = at(base, j);
        s[j] = !Raw && std::isfinite(v) ? v : 0.0;
        s1[j] = s2[j] = big[j] = 0.0;
        last[j] = -1;
    }
    // The largest finite magnitude of each column (shifted sums; the raw
    // ones keep in big the largest sum of |v| of earlier builds instead).
    auto seen = [&](double v, size_t j) __attribute__((always_inline)) {
        if constexpr (!Scaled && !Raw) {
            const double f = core::finite_magnitude(v);
            big[j] = f > big[j] ? f : big[j];
        }
    };
    // Whether every column is read as it is.
    auto plain = [&] {
        if constexpr (Scaled) return Read::Plain;
        bool all = true;
        for (size_t j = 0; j < nb; ++j) {
            const double b = Raw ? largest_within(peak[j] > big[j] ? peak[j] : big[j], wd) : big[j];
            all = all && b >= 0.0 && core::plain_range(b);
        }
        return all ? Read::Plain : Read::Unknown;
    };
    // Raw: s2 is the plain sum of |v|, peak its largest value.
    for (size_t i = 0; i < w; ++i) {
        const double* row = base + i * cols;
        for (size_t j = 0; j < nb; ++j) {
            const double v = at(row, j);
            double d = v - s[j];
            s1[j] += d;
            s2[j] += Raw ? std::fabs(v) : d * d;
            last[j] = not_finite(v) ? static_cast<ptrdiff_t>(i) : last[j];
            seen(v, j);
        }
    }
    for (size_t j = 0; j < nb; ++j) peak[j] = s2[j];
    const double share = trusted_share(w);
    const double wshare = wd * share;
    // Both tests at once, false for NaN: S1 is not finite only when S2 is
    // not, and lost digits fail the second.
    auto keeps = [&](size_t j) __attribute__((always_inline)) {
        return (s2[j] <= kLargest) &
               (Raw ? s2[j] >= share * peak[j] : wd * s2[j] - s1[j] * s1[j] >= wshare * peak[j]);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const size_t L = rows - w + 1;
    // Output row k from the block's current sums.
    auto emit = [&](double* om, double* os, size_t j) {
        if constexpr (Mean) om[j] = Raw ? s1[j] / wd : s[j] + s1[j] / wd;
        if constexpr (Sd) {
            double v = (s2[j] - (s1[j] * s1[j]) / wd) / wm1;
            os[j] = std::isnan(v) ? nan : std::sqrt(v > 0.0 ? v : 0.0);
        }
    };
    for (size_t k = 0;; ++k) {
        double* om = Mean ? mean + k * cols + c0 : nullptr;
        double* os = Sd ? sd + k * cols + c0 : nullptr;
        if (k + 1 == L) {
            for (size_t j = 0; j < nb; ++j) emit(om, os, j);
            return plain();
        }
        const size_t enter = k + w;
        const double* in = base + enter * cols;
        const double* out = base + k * cols;
        uint64_t spoilt = 0;
        for (size_t j = 0; j < nb; ++j) {
            emit(om, os, j);
            const double vn = at(in, j), vo = at(out, j);
            seen(vn, j);
            if constexpr (Raw) {  // v - 0.0 is v
                s1[j] = s1[j] + (vn - vo);
                s2[j] += std::fabs(vn) - std::fabs(vo);
            } else {
                double dn = vn - s[j], dold = vo - s[j];
                s1[j] = s1[j] + (dn - dold);
                s2[j] = s2[j] + (dn * dn - dold * dold);
            }
            peak[j] = s2[j] > peak[j] ? s2[j] : peak[j];
            spoilt |= static_cast<uint64_t>(!keeps(j));
        }
        if (!spoilt) continue;
        // Window k + 1 of column j summed afresh around the column's shift.
        auto resum = [&](size_t j) {
            if constexpr (Raw) big[j] = peak[j] > big[j] ? peak[j] : big[j];
            double a = 0.0, b = 0.0;
            for (size_t i = k + 1; i <= enter; ++i) {
                const double v = at(base + i * cols, j);
                double d = v - s[j];
                a += d;
                b += Raw ? std::fabs(v) : d * d;
            }
            s1[j] = a;
            s2[j] = b;
            peak[j] = b;
        };
        auto lost = [&](size_t j) {
            return Raw ? magnitude_lost(s2[j], peak[j], share) : spread_lost(wd, s1[j], s2[j], peak[j], share);
        };
        for (size_t j = 0; j < nb; ++j) {
            const bool sums_finite = std::isfinite(s1[j]) && std::isfinite(s2[j]);
            if (sums_finite && !lost(j)) continue;
            if (!std::isfinite(at(in, j))) last[j] = static_cast<ptrdiff_t>(enter);
            if (last[j] > static_cast<ptrdiff_t>(k)) continue;
            if (!sums_finite || Raw) resum(j);
            if (!Raw && lost(j)) {
                s[j] = at(base + (k + 1) * cols, j);  // into the window
                resum(j);
            }
            // Sums summed afresh from finite values that still fail: their
            // squares overflow or underflow.
            if (!Scaled && !keeps(j)) return Read::Stopped;
        }
    }
}

// The units of the block's columns (identity inside the plain range), from
// one pass for the largest finite magnitude of each column; whether they are
// all the identity.
inline bool block_units(const double* x, size_t rows, size_t cols, size_t c0, size_t nb, core::Unit* units) {
    double big[kBlock] = {};
    for (size_t i = 0; i < rows; ++i) {
        const double* row = x + i * cols + c0;
        for (size_t j = 0; j < nb; ++j) {
            const double f = core::finite_magnitude(row[j]);
            big[j] = f > big[j] ? f : big[j];
        }
    }
    bool identity = true;
    for (size_t j = 0; j < nb; ++j) {
        units[j] = rolling_unit(big[j]);
        identity = identity && units[j].identity();
    }
    return identity;
}

template <bool Raw, bool Mean, bool Sd>
[[gnu::always_inline]] inline void blocks(const double* x, size_t rows, size_t cols, size_t w, double* mean,
                                          double* sd) {
    for (size_t c0 = 0; c0 < cols; c0 += kBlock) {
        const size_t nb = std::min(kBlock, cols - c0);
        const Read read = block<Raw, Mean, Sd, false>(x, rows, cols, w, c0, nb, mean, sd, nullptr);
        if (read == Read::Plain) continue;
        core::Unit units[kBlock];
        if (block_units(x, rows, cols, c0, nb, units) && read == Read::Unknown) continue;
        // Read in units (the identity for columns that need none), without stopping.
        block<Raw, Mean, Sd, true>(x, rows, cols, w, c0, nb, mean, sd, units);
        for (size_t k = 0; k + w <= rows; ++k)
            for (size_t j = 0; j < nb; ++j) {
                if (Mean) mean[k * cols + c0 + j] = core::unscale(mean[k * cols + c0 + j], units[j], 1);
                if (Sd) sd[k * cols + c0 + j] = core::unscale(sd[k * cols + c0 + j], units[j], 1);
            }
    }
}

// The same loops compiled for wider vector lanes; every lane is one column
// with its own sums, so the width never changes a result.
template <bool Raw, bool Mean, bool Sd>
void blocks_base(const double* x, size_t rows, size_t cols, size_t w, double* mean, double* sd) {
    blocks<Raw, Mean, Sd>(x, rows, cols, w, mean, sd);
}
#if defined(__x86_64__) && defined(__GNUC__)
template <bool Raw, bool Mean, bool Sd>
__attribute__((target("avx2"))) void blocks_avx2(const double* x, size_t rows, size_t cols, size_t w, double* mean,
                                                 double* sd) {
    blocks<Raw, Mean, Sd>(x, rows, cols, w, mean, sd);
}
template <bool Raw, bool Mean, bool Sd>
__attribute__((target("avx512f"))) void blocks_avx512(const double* x, size_t rows, size_t cols, size_t w,
                                                      double* mean, double* sd) {
    blocks<Raw, Mean, Sd>(x, rows, cols, w, mean, sd);
}
#endif

template <bool Raw, bool Mean, bool Sd>
void columns(const double* x, size_t rows, size_t cols, size_t w, double* mean, double* sd) {
    if (w == 0 || rows < w) return;
    if (!Raw && w == 1) {
        // A window of one value, its own shift: no spread, and the mean is
        // the value (what the shifted sums give, rebuilt at every step).
        for (size_t i = 0; i < rows * cols; ++i) {
            if (Mean) mean[i] = x[i];
            if (Sd) sd[i] = std::numeric_limits<double>::quiet_NaN();
        }
        return;
    }
#if defined(__x86_64__) && defined(__GNUC__)
    static const int level = __builtin_cpu_supports("avx512f") ? 2 : __builtin_cpu_supports("avx2") ? 1 : 0;
    if (level == 2) return blocks_avx512<Raw, Mean, Sd>(x, rows, cols, w, mean, sd);
    if (level == 1) return blocks_avx2<Raw, Mean, Sd>(x, rows, cols, w, mean, sd);
#endif
    blocks_base<Raw, Mean, Sd>(x, rows, cols, w, mean, sd);
}

}  // namespace

void rolling_mean_axis0(const double* x, size_t rows, size_t cols, size_t w, double* mean) {
    columns<true, true, false>(x, rows, cols, w, mean, nullptr);
}

void rolling_mean_std_axis0(const double* x, size_t rows, size_t cols, size_t w, double* mean, double* sd) {
    if (mean && sd)
        columns<false, true, true>(x, rows, cols, w, mean, sd);
    else if (sd)
        columns<false, false, true>(x, rows, cols, w, nullptr, sd);
    else if (mean)
        columns<false, true, false>(x, rows, cols, w, mean, nullptr);
}

}  // namespace ms::kernels::rolling
