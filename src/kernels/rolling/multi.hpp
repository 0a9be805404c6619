// The fused rolling kernel: up to six statistics of every window in one pass
// over that window's values, each window summed afresh with compensated sums
// around its own shift.
#pragma once

#include <span>

#include "kernels/rolling/config.hpp"
#include "kernels/rolling/masks.hpp"

namespace ms::kernels::rolling {

// Window values (every requested statistic of a window, per value) one
// thread sums in about a millisecond: the unit that sizes a team.
inline constexpr double kWindowValuesPerMs = 1e6;

// One output buffer per statistic, indexed by Stat; a statistic outside the
// mask has an empty buffer.
struct StatBufs {
    std::span<double> out[kNumStats];
};

// Fills every requested buffer (each of length cfg.output_len(x.size())).
// With `parallel`, long series are split over the worker threads; every
// window is computed on its own, so results do not depend on the split.
// Data beyond the plain range are read in their unit, copied into `scratch`
// (x.size() doubles, x's own buffer allowed) when given.
void rolling_multi_into(std::span<const double> x, const RollingConfig& cfg, StatsMask mask, const StatBufs& bufs,
                        bool parallel = true, double* scratch = nullptr);

}  // namespace ms::kernels::rolling
