#include "kernels/rolling/axis0.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>

#include "kernels/rolling/resum.hpp"

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
// column's first value when finite and the mean is shift + S1 / w.
//
// A sum that has taken in a NaN or an infinity stays non-finite after that
// value has left the window, so a column whose window no longer holds one
// while a sum is still not finite is summed afresh; windows that hold one
// keep the sums' own arithmetic. Every non-finite value leaves the sums
// non-finite on the step it enters, so only then (rarely) does a column need
// looking at: `last` keeps the row of the latest non-finite value seen.
// With the sd, a column whose spread is lost (resum.hpp) is summed afresh
// too, around its window's first value.
template <bool Raw, bool Mean, bool Sd>
[[gnu::always_inline]] inline void block(const double* x, size_t rows, size_t cols, size_t w, size_t c0, size_t nb,
                                         double* mean, double* sd) {
    double s[kBlock], s1[kBlock], s2[kBlock], peak[kBlock];
    ptrdiff_t last[kBlock];
    const double* base = x + c0;
    for (size_t j = 0; j < nb; ++j) {
        s[j] = !Raw && std::isfinite(base[j]) ? base[j] : 0.0;
        s1[j] = s2[j] = 0.0;
        last[j] = -1;
    }
    for (size_t i = 0; i < w; ++i) {
        const double* row = base + i * cols;
        for (size_t j = 0; j < nb; ++j) {
            double d = row[j] - s[j];
            s1[j] += d;
            if constexpr (Sd) s2[j] += d * d;
            last[j] = not_finite(row[j]) ? static_cast<ptrdiff_t>(i) : last[j];
        }
    }
    for (size_t j = 0; j < nb; ++j) peak[j] = s2[j];
    const double wd = static_cast<double>(w), wm1 = wd - 1.0;
    const double share = w > 1 ? trusted_share(w) : 0.0;  // one value has no spread to lose
    const double wshare = wd * share;
    constexpr double kLargest = std::numeric_limits<double>::max();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const size_t L = rows - w + 1;
    // Output row k from the block's current sums.
    auto emit = [&](double* om, double* os, size_t j) {
        if constexpr (Mean) om[j] = Raw ? s1[j] / wd : s[j] + s1[j] / wd;
        if constexpr (Sd) {
            double v = (s2[j] - (s1[j] * s1[j]) / wd) / wm1;
            os[j] = w == 1 || std::isnan(v) ? nan : std::sqrt(v > 0.0 ? v : 0.0);
        }
    };
    for (size_t k = 0;; ++k) {
        double* om = Mean ? mean + k * cols + c0 : nullptr;
        double* os = Sd ? sd + k * cols + c0 : nullptr;
        if (k + 1 == L) {
            for (size_t j = 0; j < nb; ++j) emit(om, os, j);
            break;
        }
        const size_t enter = k + w;
        const double* in = base + enter * cols;
        const double* out = base + k * cols;
        uint64_t spoilt = 0;
        for (size_t j = 0; j < nb; ++j) {
            emit(om, os, j);
            double dn = in[j] - s[j], dold = out[j] - s[j];
            s1[j] = s1[j] + (dn - dold);
            if constexpr (Sd) {
                s2[j] = s2[j] + (dn * dn - dold * dold);
                peak[j] = s2[j] > peak[j] ? s2[j] : peak[j];
                // Both tests at once, true for NaN: S1 is not finite only
                // when S2 is not, and a lost spread fails the second.
                const bool kept = (s2[j] <= kLargest) & (wd * s2[j] - s1[j] * s1[j] >= wshare * peak[j]);
                spoilt |= static_cast<uint64_t>(!kept);
            } else {
                spoilt |= not_finite(s1[j]);
            }
        }
        if (!spoilt) continue;
        // Window k + 1 of column j summed afresh around the column's shift.
        auto resum = [&](size_t j) {
            double a = 0.0, b = 0.0;
            for (size_t i = k + 1; i <= enter; ++i) {
                double d = base[i * cols + j] - s[j];
                a += d;
                if constexpr (Sd) b += d * d;
            }
            s1[j] = a;
            s2[j] = b;
            peak[j] = b;
        };
        for (size_t j = 0; j < nb; ++j) {
            const bool sums_finite = std::isfinite(s1[j]) && std::isfinite(s2[j]);
            if (sums_finite && !(Sd && spread_lost(wd, s1[j], s2[j], peak[j], share))) continue;
            if (!std::isfinite(in[j])) last[j] = static_cast<ptrdiff_t>(enter);
            if (last[j] > static_cast<ptrdiff_t>(k)) continue;
            if (!sums_finite) resum(j);
            if (Sd && spread_lost(wd, s1[j], s2[j], peak[j], share)) {
                s[j] = base[(k + 1) * cols + j];  // into the window
                resum(j);
            }
        }
    }
}

template <bool Raw, bool Mean, bool Sd>
[[gnu::always_inline]] inline void blocks(const double* x, size_t rows, size_t cols, size_t w, double* mean,
                                          double* sd) {
    for (size_t c0 = 0; c0 < cols; c0 += kBlock)
        block<Raw, Mean, Sd>(x, rows, cols, w, c0, std::min(kBlock, cols - c0), mean, sd);
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
