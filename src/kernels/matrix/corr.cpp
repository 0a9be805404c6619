#include "kernels/matrix/corr.hpp"

#include <cmath>
#include <limits>

#include "core/spread.hpp"
#include "core/constants.hpp"

namespace ms::kernels::matrix {

namespace {


inline double clamp_unit(double q) {
    if (q < -1.0) return -1.0;
    if (q > 1.0) return 1.0;
    return q;
}

}  // namespace

void corr_matrix_from_cov_out(In cov, size_t p, Out out) {
    Buf<double> sd(p);
    for (size_t i = 0; i < p; ++i) {
        const double v = cov[i * p + i];
        sd[i] = (std::isfinite(v) && v > 0.0) ? std::sqrt(v) : kNaN;
    }
    fill_rows(p, static_cast<double>(p), [&](size_t i) {
        const double* c = cov.data() + i * p;
        double* o = out.data() + i * p;
        for (size_t j = i; j < p; ++j) {
            const double d = sd[i] * sd[j];
            o[j] = (d == 0.0 || std::isnan(d)) ? kNaN : clamp_unit(c[j] / d);
        }
    });
    for (size_t i = 0; i < p; ++i) out[i * p + i] = (std::isnan(sd[i]) || sd[i] == 0.0) ? kNaN : 1.0;
    mirror_upper(out, p);
}

void corr_matrix_out(const MatView& x, Out out) {
    const size_t p = x.cols;
    Buf<double> cov(p * p);
    cov_matrix_out(x, cov.span());
    corr_matrix_from_cov_out(cov.span(), p, out);
}

void corr_distance_out(const MatView& x, Out out) {
    const size_t p = x.cols;
    Buf<double> r(p * p);
    corr_matrix_out(x, r.span());
    fill_rows(p, static_cast<double>(p), [&](size_t i) {
        for (size_t j = 0; j < p; ++j) {
            const double v = r[i * p + j];
            out[i * p + j] = std::isnan(v) ? kNaN : 1.0 - v;
        }
    });
    for (size_t i = 0; i < p; ++i) out[i * p + i] = std::isnan(r[i * p + i]) ? kNaN : 0.0;
}

double corr_pair(In x, In y, bool skip_nan) {
    if (!skip_nan && x.size() < 2) return kNaN;
    const PairSums s = pair_sums(x, y, skip_nan, true);
    if (s.hit_nan || s.c < 2.0) return kNaN;
    const double vx = centred_moment(s.sxx, s.sx, s.sx, s.c);
    const double vy = centred_moment(s.syy, s.sy, s.sy, s.c);
    const double cxy = centred_moment(s.sxy, s.sx, s.sy, s.c);
    if (!(std::isfinite(vx) && vx > 0.0 && std::isfinite(vy) && vy > 0.0 && std::isfinite(cxy))) return kNaN;
    return clamp_unit(cxy / core::sqrt_product(vx, vy));
}

}  // namespace ms::kernels::matrix
