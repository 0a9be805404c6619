#include "kernels/matrix/corr.hpp"

#include <algorithm>
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

// The correlation from two variances and the covariance of the same pairs.
inline double corr_from_moments(double vx, double vy, double cxy) {
    if (!(std::isfinite(vx) && vx > 0.0 && std::isfinite(vy) && vy > 0.0 && std::isfinite(cxy))) return kNaN;
    return clamp_unit(cxy / core::sqrt_product(vx, vy));
}

// Row i of the pairwise-complete correlation: each entry from the variances
// of its own pair's rows, as two series give; the diagonal 1.0 where the
// column's variance over its finite rows is a finite positive number.
void complete_corr_entries(const CompleteSums& s, size_t len, double* o) noexcept {
    // The three moments of a run of pairs first, in a loop without branches
    // that the compiler vectorises: their divisions are most of the cost.
    constexpr size_t kRun = 32;
    double vx[kRun], vy[kRun], cxy[kRun];
    for (size_t k0 = 0; k0 < len; k0 += kRun) {
        const size_t w = std::min(kRun, len - k0);
        for (size_t q = 0; q < w; ++q) {
            const size_t k = k0 + q;
            vx[q] = centred_moment(s.saa[k], s.sa[k], s.sa[k], s.c[k]);
            vy[q] = centred_moment(s.sbb[k], s.sb[k], s.sb[k], s.c[k]);
            cxy[q] = centred_moment(s.sab[k], s.sa[k], s.sb[k], s.c[k]);
        }
        for (size_t q = 0; q < w; ++q)
            o[k0 + q] = s.c[k0 + q] < 2.0 ? kNaN : corr_from_moments(vx[q], vy[q], cxy[q]);
    }
    const double v = s.c[0] < 2.0 ? kNaN : centred_moment(s.sab[0], s.sa[0], s.sb[0], s.c[0]);
    o[0] = std::isfinite(v) && v > 0.0 ? 1.0 : kNaN;
}

}  // namespace

void corr_from_cov_in_place(Out m, size_t p, double row_cost) {
    Buf<double> sd(p);
    for (size_t i = 0; i < p; ++i) {
        const double v = m[i * p + i];
        sd[i] = (std::isfinite(v) && v > 0.0) ? std::sqrt(v) : kNaN;
    }
    // Whole rows: the matrix is symmetric and sd[i] * sd[j] = sd[j] * sd[i],
    // so each entry below the diagonal equals its mirror without a copy.
    fill_rows(p, row_cost, [&](size_t i) {
        double* o = m.data() + i * p;
        for (size_t j = 0; j < p; ++j) {
            const double d = sd[i] * sd[j];
            o[j] = (d == 0.0 || std::isnan(d)) ? kNaN : clamp_unit(o[j] / d);
        }
        o[i] = (std::isnan(sd[i]) || sd[i] == 0.0) ? kNaN : 1.0;
    });
}

void corr_matrix_out(const MatView& x, Out out) {
    cov_matrix_in_unit_out(x, out);
    corr_from_cov_in_place(out, x.cols, gram_row_cost(x.rows, x.cols));
}

void corr_matrix_skipna_out(In x, size_t n, size_t p, Out out) {
    complete_pairs_out(x, n, p, true, complete_corr_entries, 0, out);
}

void corr_distance_out(const MatView& x, Out out) {
    const size_t p = x.cols;
    corr_matrix_out(x, out);
    fill_rows(p, gram_row_cost(x.rows, p), [&](size_t i) {
        double* o = out.data() + i * p;
        for (size_t j = 0; j < p; ++j) o[j] = std::isnan(o[j]) ? kNaN : 1.0 - o[j];
        o[i] = std::isnan(o[i]) ? kNaN : 0.0;
    });
}

double corr_pair(In x, In y, bool skip_nan) {
    if (!skip_nan && x.size() < 2) return kNaN;
    const PairSums s = pair_sums(x, y, skip_nan, true);
    if (s.hit_nan || s.c < 2.0) return kNaN;
    return corr_from_moments(centred_moment(s.sxx, s.sx, s.sx, s.c), centred_moment(s.syy, s.sy, s.sy, s.c),
                             centred_moment(s.sxy, s.sx, s.sy, s.c));
}

}  // namespace ms::kernels::matrix
