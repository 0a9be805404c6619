// Rolling means and standard deviations down the columns of a matrix.
#include <cstdint>
#include <tuple>

#include "frame/frame.hpp"
#include "kernels/rolling/axis0.hpp"

namespace ms {
namespace {

namespace r = kernels::rolling;

// The window, then the shape, then the layout: a matrix with no full window
// or no columns is answered without looking at its strides.
struct Plan {
    const double* x;
    size_t rows, cols, L;
    bool compute;
};

Result<Plan> plan(const View2& x, uint64_t window) {
    if (window == 0) return value_error("window must be >= 1");
    if (x.rows < window) return Plan{nullptr, x.rows, x.cols, 0, false};
    const size_t L = static_cast<size_t>(x.rows - window + 1);
    if (x.cols == 0) return Plan{nullptr, x.rows, 0, L, false};
    const bool row_major = (x.cols == 1 || x.cstride == static_cast<ptrdiff_t>(sizeof(double))) &&
                           (x.rows == 1 || x.rstride == static_cast<ptrdiff_t>(x.cols * sizeof(double)));
    if (!row_major) return value_error("array must be contiguous");
    return Plan{reinterpret_cast<const double*>(x.data), x.rows, x.cols, L, true};
}

Array2 matrix(const Plan& p) { return Array2{Buf<double>(p.L * p.cols), p.L, p.cols}; }

Result<Array2> rolling_mean_axis0_np(const View2& x, uint64_t window) {
    MS_TRY(p, plan(x, window));
    Array2 mean = matrix(p);
    if (p.compute) r::rolling_mean_axis0(p.x, p.rows, p.cols, window, mean.buf.data());
    return mean;
}

Result<Array2> rolling_std_axis0_np(const View2& x, uint64_t window) {
    MS_TRY(p, plan(x, window));
    Array2 sd = matrix(p);
    if (p.compute) r::rolling_mean_std_axis0(p.x, p.rows, p.cols, window, nullptr, sd.buf.data());
    return sd;
}

Result<std::tuple<Array2, Array2>> rolling_mean_std_axis0_np(const View2& x, uint64_t window) {
    MS_TRY(p, plan(x, window));
    Array2 mean = matrix(p), sd = matrix(p);
    if (p.compute) r::rolling_mean_std_axis0(p.x, p.rows, p.cols, window, mean.buf.data(), sd.buf.data());
    return std::tuple<Array2, Array2>(std::move(mean), std::move(sd));
}

Family family{
    fn<"rolling_mean_std_axis0_np", &rolling_mean_std_axis0_np>("(x, window)"),
    fn<"rolling_mean_axis0_np", &rolling_mean_axis0_np>("(x, window)"),
    fn<"rolling_std_axis0_np", &rolling_std_axis0_np>("(x, window)"),
};

}  // namespace
}  // namespace ms
