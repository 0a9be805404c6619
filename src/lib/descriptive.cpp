// Moment statistics of one sample and the axis means.
#include "frame/frame.hpp"
#include "kernels/descriptive/axis.hpp"
#include "kernels/descriptive/moments.hpp"

namespace ms {
namespace {

namespace k = kernels::descriptive;

double mean_np(Slice a) { return k::mean(a); }
double var_np(Slice a) { return k::var(a); }
double std_np(Slice a) { return k::stddev(a); }
double skew_np(Slice a) { return k::skew(a); }
double kurtosis_np(Slice a) { return k::kurtosis(a); }

Array1<double> zscore_np(Slice a) {
    Buf<double> out(a.size());
    k::zscore(a, out.data());
    return out;
}

Result<Array1<double>> mean_axis_np(const ViewN& x, int64_t axis, std::optional<bool> skipna) {
    bool skip = skipna.value_or(false);
    if (x.ndim() == 1) {
        if (axis != 0) return value_error("mean_axis_np: for 1D input, axis must be 0");
        if (x.shape[0] > 1 && x.strides[0] != 8) return value_error("mean_axis_np: 1D input must be contiguous");
        return Array1<double>(Buf<double>(1, k::strided_mean(x.data, x.shape[0], 8, skip)));
    }
    if (x.ndim() != 2) return value_error("mean_axis_np currently supports only 1D or 2D arrays");
    View2 v{x.data, x.shape[0], x.shape[1], x.strides[0], x.strides[1], x.c_contiguous, x.f_contiguous};
    if (axis == 0) {
        Buf<double> out(v.cols);
        k::column_means(v, skip, out.data());
        return Array1<double>(std::move(out));
    }
    if (axis == 1) {
        Buf<double> out(v.rows);
        k::row_means(v, skip, out.data());
        return Array1<double>(std::move(out));
    }
    return value_error("mean_axis_np: for 2D input, axis must be 0 or 1");
}

Array1<double> mean_over_last_axis_dyn_np(const ViewN& arr) {
    if (arr.ndim() == 0) return Buf<double>(1, k::load(arr.data));
    size_t R = 1;
    for (size_t i = 0; i + 1 < arr.ndim(); ++i) R *= arr.shape[i];
    Buf<double> out(R);
    k::last_axis_means(arr, out.data());
    return out;
}

Family family{
    fn<"mean_np", &mean_np>("(a)"),
    fn<"var_np", &var_np>("(a)"),
    fn<"std_np", &std_np>("(a)"),
    fn<"zscore_np", &zscore_np>("(a)"),
    fn<"skew_np", &skew_np>("(a)"),
    fn<"kurtosis_np", &kurtosis_np>("(a)"),
    fn<"mean_axis_np", &mean_axis_np>("(x, axis, skipna=None)"),
    fn<"mean_over_last_axis_dyn_np", &mean_over_last_axis_dyn_np>("(arr)"),
};

}  // namespace
}  // namespace ms
