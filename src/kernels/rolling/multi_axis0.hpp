// The fused rolling kernel down every column of a row-major matrix.
#pragma once

#include <cstddef>

#include "kernels/rolling/multi.hpp"

namespace ms::kernels::rolling {

// x: rows x cols, row-major. out[stat] (requested stats only) receives
// cfg.output_len(rows) x cols values, row-major.
void rolling_multi_axis0_into(const double* x, size_t rows, size_t cols, const RollingConfig& cfg, StatsMask mask,
                              double* const out[kNumStats]);

}  // namespace ms::kernels::rolling
