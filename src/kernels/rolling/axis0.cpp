#include "kernels/rolling/axis0.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ms::kernels::rolling {
namespace {

// Columns handled together: each row of a block is one contiguous read, and
// the block's sums stay in cache (and in vector lanes) across the rows.
constexpr size_t kBlock = 64;

// One block of nb <= kBlock adjacent columns starting at c0. `Raw` sums the
// values themselves (shift 0.0, mean S / w); otherwise the shift is the
// column's first value when finite and the mean is shift + S1 / w.
//
// A sum that has taken in a NaN or an infinity stays non-finite after that
// value has left the window; so each column counts the non-finite values its
// window holds, and once none is left while a sum is still not finite, the
// column's window is summed afresh. Windows that hold one keep the sums' own
// arithmetic.
template <bool Raw, bool Sd>
void block(const double* x, size_t rows, size_t cols, size_t w, size_t c0, size_t nb, double* mean,
           double* sd) {
    double s[kBlock], s1[kBlock], s2[kBlock];
    size_t bad[kBlock];
    const double* base = x + c0;
    for (size_t j = 0; j < nb; ++j) {
        s[j] = !Raw && std::isfinite(base[j]) ? base[j] : 0.0;
        s1[j] = s2[j] = 0.0;
        bad[j] = 0;
    }
    auto refill = [&](size_t first, size_t j) {
        double a = 0.0, b = 0.0;
        for (size_t i = first; i < first + w; ++i) {
            double d = base[i * cols + j] - s[j];
            a += d;
            if constexpr (Sd) b += d * d;
        }
        s1[j] = a;
        s2[j] = b;
    };
    for (size_t i = 0; i < w; ++i) {
        const double* row = base + i * cols;
        for (size_t j = 0; j < nb; ++j) {
            double d = row[j] - s[j];
            s1[j] += d;
            if constexpr (Sd) s2[j] += d * d;
            bad[j] += !std::isfinite(row[j]);
        }
    }
    const double wd = static_cast<double>(w), wm1 = wd - 1.0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const size_t L = rows - w + 1;
    for (size_t k = 0;; ++k) {
        double* om = mean ? mean + k * cols + c0 : nullptr;
        double* os = Sd ? sd + k * cols + c0 : nullptr;
        for (size_t j = 0; j < nb; ++j) {
            if (om) om[j] = Raw ? s1[j] / wd : s[j] + s1[j] / wd;
            if constexpr (Sd) {
                double v = (s2[j] - (s1[j] * s1[j]) / wd) / wm1;
                os[j] = w == 1 || std::isnan(v) ? nan : std::sqrt(v > 0.0 ? v : 0.0);
            }
        }
        if (k + 1 == L) break;
        const double* in = base + (k + w) * cols;
        const double* out = base + k * cols;
        for (size_t j = 0; j < nb; ++j) {
            double dn = in[j] - s[j], dold = out[j] - s[j];
            s1[j] = s1[j] + (dn - dold);
            if constexpr (Sd) s2[j] = s2[j] + (dn * dn - dold * dold);
            bad[j] = bad[j] + !std::isfinite(in[j]) - !std::isfinite(out[j]);
        }
        for (size_t j = 0; j < nb; ++j)
            if (bad[j] == 0 && !(std::isfinite(s1[j]) && std::isfinite(s2[j]))) refill(k + 1, j);
    }
}

template <bool Raw, bool Sd>
void columns(const double* x, size_t rows, size_t cols, size_t w, double* mean, double* sd) {
    if (w == 0 || rows < w) return;
    for (size_t c0 = 0; c0 < cols; c0 += kBlock)
        block<Raw, Sd>(x, rows, cols, w, c0, std::min(kBlock, cols - c0), mean, sd);
}

}  // namespace

void rolling_mean_axis0(const double* x, size_t rows, size_t cols, size_t w, double* mean) {
    columns<true, false>(x, rows, cols, w, mean, nullptr);
}

void rolling_mean_std_axis0(const double* x, size_t rows, size_t cols, size_t w, double* mean, double* sd) {
    if (sd)
        columns<false, true>(x, rows, cols, w, mean, sd);
    else
        columns<false, false>(x, rows, cols, w, mean, nullptr);
}

}  // namespace ms::kernels::rolling
