// Percentile, median and quartiles of one sample.
#include <cmath>

#include "frame/frame.hpp"
#include "kernels/quantile/iqr.hpp"
#include "kernels/quantile/percentile.hpp"
#include "kernels/robust/extended.hpp"

namespace ms {
namespace {

namespace q = kernels::quantile;

// q is checked before the array's contiguity.
Result<double> percentile_np(const View1& a, double qv) {
    if (!(qv >= 0.0 && qv <= 100.0))
        return value_error("q must be in the range [0, 100] (numpy.percentile semantics)");
    MS_TRY(x, require_contiguous(a));
    return q::percentile_slice(x, qv);
}

double median_np(Slice a) { return kernels::robust::median_of(a); }

std::tuple<double, double, double> iqr_np(Slice a) {
    q::Quartiles r = q::iqr_slice(a);
    return {r.q1, r.q3, r.iqr};
}

double iqr_width_np(Slice a) {
    q::Quartiles r = q::iqr_slice(a);
    return std::isnan(r.q1) || std::isnan(r.q3) ? kNaN : r.iqr;
}

Family family{
    fn<"percentile_np", &percentile_np>("(a, q)"),
    fn<"median_np", &median_np>("(a)"),
    fn<"iqr_np", &iqr_np>("(a)"),
    fn<"iqr_width_np", &iqr_width_np>("(a)"),
};

}  // namespace
}  // namespace ms
