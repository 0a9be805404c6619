#include "kernels/rolling/multi_axis0.hpp"

#include <algorithm>
#include <new>

#include "core/parallel.hpp"
#include "core/result.hpp"

namespace ms::kernels::rolling {

namespace {
// Outputs per work item (at least): small enough that the scratch of a team
// is a sliver of the outputs, large enough that the values copied in for
// the neighbouring windows are a small share.
constexpr size_t kRun = 4096;
}  // namespace

void rolling_multi_axis0_into(const double* x, size_t rows, size_t cols, const RollingConfig& cfg, StatsMask mask,
                              double* const out[kNumStats]) {
    const size_t L = cfg.output_len(rows);
    if (cols == 0 || L == 0) return;
    if (cols == 1) {  // the column is the series itself: the kernel writes the outputs directly
        StatBufs bufs;
        for (unsigned s = 0; s < kNumStats; ++s)
            if (mask.has(s)) bufs.out[s] = {out[s], L};
        rolling_multi_into({x, rows}, cfg, mask, bufs);
        return;
    }
    unsigned nstats = 0;
    for (unsigned i = 0; i < kNumStats; ++i) nstats += mask.has(i);
    // Work items are runs of consecutive outputs of one column. Every window
    // is computed on its own from its own values, so a run computed from a
    // copy of just the values its windows cover (centred: with the windows
    // around it, whose outputs are dropped) has the bits of the whole column.
    const bool centred = cfg.alignment == Alignment::Centered;
    const size_t w = static_cast<size_t>(std::min<uint64_t>(cfg.window, rows));
    const size_t h = centred ? static_cast<size_t>(std::min<uint64_t>(cfg.window / 2, rows)) : 0;
    const size_t run = std::min(L, std::max(kRun, 2 * w));
    const size_t runs = (L + run - 1) / run;
    const size_t span = std::min(rows, centred ? run + 2 * h : run + w - 1);  // values a run reads at most
    const size_t per = span * (1 + size_t{nstats});  // column values, then one buffer per statistic
    const size_t items = runs * cols;
    const unsigned team = core::team_for(
        static_cast<double>(L) * static_cast<double>(cols) * static_cast<double>(w), kWindowValuesPerMs, items);
    size_t total;
    if (__builtin_mul_overflow(per, size_t{team}, &total)) throw std::bad_alloc();
    Buf<double> scratch(total);
    core::run_chunks(team, items, [&](size_t item, unsigned slot) {
        // Neighbouring items are neighbouring columns of the same rows.
        const size_t j = item % cols, k0 = item / cols * run, k1 = std::min(L, k0 + run);
        const size_t lo = k0 >= h ? k0 - h : 0;
        const size_t hi = centred ? (h >= rows - k1 ? rows : k1 + h) : k1 - 1 + w;
        double* col = scratch.data() + static_cast<size_t>(slot) * per;
        for (size_t i = lo; i < hi; ++i) col[i - lo] = x[i * cols + j];
        const size_t len = cfg.output_len(hi - lo);  // output k of the column is output k - lo here
        StatBufs bufs;
        double* next = col + span;
        for (unsigned s = 0; s < kNumStats; ++s)
            if (mask.has(s)) {
                bufs.out[s] = {next, len};
                next += span;
            }
        rolling_multi_into({col, hi - lo}, cfg, mask, bufs, false, col);  // no allocation on a worker
        for (unsigned s = 0; s < kNumStats; ++s)
            if (mask.has(s))
                for (size_t k = k0; k < k1; ++k) out[s][k * cols + j] = bufs.out[s][k - lo];
    });
}

}  // namespace ms::kernels::rolling
