#include "kernels/rolling/multi_axis0.hpp"

#include <omp.h>

#include "frame/pool.hpp"
#include "frame/result.hpp"

namespace ms::kernels::rolling {

void rolling_multi_axis0_into(const double* x, size_t rows, size_t cols, const RollingConfig& cfg, StatsMask mask,
                              double* const out[kNumStats]) {
    const size_t L = cfg.output_len(rows);
    if (cols == 0 || L == 0) return;
    unsigned nstats = 0;
    for (unsigned i = 0; i < kNumStats; ++i) nstats += mask.has(i);
    // Columns are independent: with many of them, each worker takes whole
    // columns and runs the kernel serially; a single column is split inside.
    const bool by_column = cols >= 2 && rows * cfg.window >= (size_t{1} << 12) && pool_usable();
    const size_t workers = by_column ? static_cast<size_t>(omp_get_max_threads()) : 1;
    const size_t per = rows + nstats * L;  // column copy, then one buffer per stat
    if (per > SIZE_MAX / workers) throw std::bad_alloc();
    Buf<double> scratch(workers * per);
#pragma omp parallel for schedule(dynamic) num_threads(static_cast<int>(workers)) if (by_column)
    for (size_t j = 0; j < cols; ++j) {
        double* col = scratch.data() + static_cast<size_t>(omp_get_thread_num()) * per;
        for (size_t i = 0; i < rows; ++i) col[i] = x[i * cols + j];
        StatBufs bufs;
        double* next = col + rows;
        for (unsigned s = 0; s < kNumStats; ++s)
            if (mask.has(s)) {
                bufs.out[s] = {next, L};
                next += L;
            }
        rolling_multi_into({col, rows}, cfg, mask, bufs, !by_column);
        for (unsigned s = 0; s < kNumStats; ++s)
            if (mask.has(s))
                for (size_t r = 0; r < L; ++r) out[s][r * cols + j] = bufs.out[s][r];
    }
}

}  // namespace ms::kernels::rolling
