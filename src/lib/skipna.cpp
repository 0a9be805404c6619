// NaN-skipping forms of mean, variance, standard deviation and z-score, and
// the one-pass Welford summary. Each `_skipna_np`/`_nan_np` pair shares one body.
#include "frame/frame.hpp"
#include "kernels/descriptive/skipna.hpp"

namespace ms {
namespace {

namespace k = kernels::descriptive;

double mean_skipna(Slice a) { return k::mean_skipna(a); }
double var_skipna(Slice a) { return k::var_skipna(a); }
double std_skipna(Slice a) { return k::stddev_skipna(a); }

Array1<double> zscore_skipna_np(Slice a) {
    Buf<double> out(a.size());
    k::zscore_skipna(a, out.data());
    return out;
}

std::tuple<double, double, uint64_t> welford_np(Slice a) {
    k::Welford w = k::welford(a);
    return {w.mean, w.var, w.count};
}

Family family{
    fn<"mean_skipna_np", &mean_skipna>("(a)"),        fn<"mean_nan_np", &mean_skipna>("(a)"),
    fn<"var_skipna_np", &var_skipna>("(a)"),          fn<"var_nan_np", &var_skipna>("(a)"),
    fn<"std_skipna_np", &std_skipna>("(a)"),          fn<"std_nan_np", &std_skipna>("(a)"),
    fn<"zscore_skipna_np", &zscore_skipna_np>("(a)"), fn<"welford_np", &welford_np>("(a)"),
};

}  // namespace
}  // namespace ms
