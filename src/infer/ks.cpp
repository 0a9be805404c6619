#include "infer/ks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/parallel.hpp"
#include "core/stream.hpp"
#include "infer/common/std_normal.hpp"
#include "core/radix_sort.hpp"
#include "core/total_order.hpp"
#include "core/constants.hpp"
#include "infer/common/alternative.hpp"
#include "infer/common/checks.hpp"
#include "infer/common/pvalue.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {
namespace {


enum class Dist { Normal, Uniform, Expon };

// Largest matrix order of the exact two-sided method. The cost grows as
// m^3 log n and m = 2 floor(n D) + 1 would reach 20001 at n = 10000 (hours of
// products and gigabytes of matrices). Past this order n D >= 500, so with
// n <= 10000 sqrt(n) D >= 5 and the p-value is below 1e-21: the asymptotic
// series answers there instead.
constexpr size_t kMaxOrder = 1001;

double dist_cdf(Dist dist, double v, double loc, double scale) noexcept {
    switch (dist) {
        case Dist::Normal: return normal_cdf(v, loc, scale);
        case Dist::Uniform: {
            double a = loc, b = loc + scale;
            if (v <= a) return 0.0;
            if (v >= b) return 1.0;
            return (v - a) / (b - a);
        }
        default: {
            double t = v - loc;
            if (t <= 0.0) return 0.0;
            return 1.0 - std::exp(t * (-1.0 / scale));
        }
    }
}

double ks_series(size_t n, double d) noexcept {
    double rn = std::sqrt(static_cast<double>(n));
    double lam = d * (rn + 0.12 + 0.11 / rn);
    Kahan k;
    for (size_t j = 1;; ++j) {
        double jd = static_cast<double>(j);
        double term = std::exp(-2.0 * jd * jd * lam * lam);
        if (j % 2 == 0) term = -term;
        k.add(term);
        if (std::fabs(term) < 1e-20 || j == 100000) break;
    }
    return clamp_p(2.0 * k.sum);
}

// Kahan products: every entry P[r][j] sums A[r][l] * B[l][j] over l in order,
// skipping l where A[r][l] = 0, with its own compensation. Entries are
// independent, so computing them three rows by eight columns at a time, with
// the sums in registers, or on several threads, changes no bit.
using V4 = double __attribute__((vector_size(32)));
constexpr size_t kRows = 3, kCols = 8;

// Kahan-product terms one thread adds in about a millisecond.
constexpr double kTermsPerMs = 4e6;

// A square matrix of order m whose rows lie `stride` apart, stride a multiple
// of kCols and the columns past m zero, so that every column block reads
// whole vectors. Rows start at a 64-byte boundary: no vector load is split
// across two cache lines.
struct Square {
    size_t m, stride;
    explicit Square(size_t order)
        : m(order),
          stride((order + kCols - 1) / kCols * kCols),
          buf_(Buf<double>::zeros(order * stride + core::kLineDoubles)),
          p_(core::line_start(buf_.data())) {}
    double* data() noexcept { return p_; }
    const double* data() const noexcept { return p_; }
    double& at(size_t i, size_t j) noexcept { return p_[i * stride + j]; }
    void swap(Square& o) noexcept {
        std::swap(buf_, o.buf_);
        std::swap(p_, o.p_);
    }

private:
    Buf<double> buf_;
    double* p_;
};

// One Kahan sum per lane: adds `term` to p with compensation c.
struct Sum {
    V4 p{}, c{};
    __attribute__((always_inline)) void add(V4 term) noexcept {
        const V4 y = term - c;
        const V4 t = p + y;
        c = (t - p) - y;
        p = t;
    }
};

__attribute__((always_inline)) inline V4 load(const double* p) noexcept {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Stores the lanes of `v` that fall before column m and returns the largest
// |value| among them and `big`. With `stream`, the whole vector (zero past
// column m) goes past the caches, for the next product reads it on every
// thread; o is then 16-byte aligned.
template <bool stream>
__attribute__((always_inline)) inline double store(double* o, V4 v, size_t j, size_t m, double big) noexcept {
    if (j >= m) return big;
    const size_t n = std::min<size_t>(4, m - j);
    if constexpr (stream) {
        double lanes[4];
        std::memcpy(lanes, &v, sizeof lanes);
        for (size_t e = n; e < 4; ++e) lanes[e] = 0.0;
        for (size_t e = 0; e < n; ++e) big = std::max(big, std::fabs(lanes[e]));
        std::memcpy(&v, lanes, sizeof v);
        core::store4(o, v, true);
        return big;
    }
    std::memcpy(o, &v, n * sizeof(double));
    for (size_t e = 0; e < n; ++e) big = std::max(big, std::fabs(o[e]));
    return big;
}

// Past the last l where row `r` of `a` is non-zero: the terms beyond it
// are all skipped.
__attribute__((always_inline)) inline size_t row_end(const double* row, size_t m) noexcept {
    while (m > 0 && row[m - 1] == 0.0) --m;
    return m;
}

// Loaded afresh for each use: keeping both halves of a B row in registers
// would leave too few for the six sums and spill them.
__attribute__((always_inline)) inline V4 load_each_time(const double* p) noexcept {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    asm volatile("" ::: "memory");
    return v;
}

// Rows r .. r + 2 of the product; returns the largest |entry| written.
template <bool stream>
__attribute__((always_inline)) inline double product_rows3(const double* a, const double* b, double* out, size_t m,
                                                           size_t stride, size_t r) noexcept {
    const double *a0 = a + r * stride, *a1 = a0 + stride, *a2 = a1 + stride;
    const size_t lend = std::max({row_end(a0, m), row_end(a1, m), row_end(a2, m)});
    size_t dense = 0;  // before the first l where one of the rows is zero
    while (dense < lend && a0[dense] != 0.0 && a1[dense] != 0.0 && a2[dense] != 0.0) ++dense;
    double big = 0.0;
    for (size_t j = 0; j < m; j += kCols) {
        Sum s00, s01, s10, s11, s20, s21;
        const double* bl = b + j;
        size_t l = 0;
        for (; l < dense; ++l, bl += stride) {
            const double y0 = a0[l];
            const V4 x0 = {y0, y0, y0, y0};
            s00.add(x0 * load_each_time(bl)), s01.add(x0 * load_each_time(bl + 4));
            const double y1 = a1[l];
            const V4 x1 = {y1, y1, y1, y1};
            s10.add(x1 * load_each_time(bl)), s11.add(x1 * load_each_time(bl + 4));
            const double y2 = a2[l];
            const V4 x2 = {y2, y2, y2, y2};
            s20.add(x2 * load_each_time(bl)), s21.add(x2 * load_each_time(bl + 4));
        }
        for (; l < lend; ++l, bl += stride) {
            const V4 b0 = load(bl), b1 = load(bl + 4);
            if (a0[l] != 0.0) s00.add(a0[l] * b0), s01.add(a0[l] * b1);
            if (a1[l] != 0.0) s10.add(a1[l] * b0), s11.add(a1[l] * b1);
            if (a2[l] != 0.0) s20.add(a2[l] * b0), s21.add(a2[l] * b1);
        }
        double* o = out + r * stride + j;
        big = store<stream>(o, s00.p, j, m, big), big = store<stream>(o + 4, s01.p, j + 4, m, big);
        o += stride;
        big = store<stream>(o, s10.p, j, m, big), big = store<stream>(o + 4, s11.p, j + 4, m, big);
        o += stride;
        big = store<stream>(o, s20.p, j, m, big), big = store<stream>(o + 4, s21.p, j + 4, m, big);
    }
    return big;
}

// Row r of the product; returns the largest |entry| written and `big`.
template <bool stream>
__attribute__((always_inline)) inline double product_row(const double* a, const double* b, double* out, size_t m,
                                                         size_t stride, size_t r, double big) noexcept {
    const double* a0 = a + r * stride;
    const size_t lend = row_end(a0, m);
    for (size_t j = 0; j < m; j += kCols) {
        Sum s0, s1;
        const double* bl = b + j;
        for (size_t l = 0; l < lend; ++l, bl += stride) {
            const double x0 = a0[l];
            if (x0 != 0.0) s0.add(x0 * load(bl)), s1.add(x0 * load(bl + 4));
        }
        big = store<stream>(out + r * stride + j, s0.p, j, m, big);
        big = store<stream>(out + r * stride + j + 4, s1.p, j + 4, m, big);
    }
    return big;
}

// Rows r0 .. r1 - 1 of the product; returns the largest |entry| written.
// Streamed stores are ordered before the return, so the caller may report
// the rows as done.
__attribute__((target_clones("avx2", "default"))) double product_item(const double* a, const double* b,
                                                                      double* out, size_t m, size_t stride,
                                                                      size_t r0, size_t r1, bool stream) {
    double big = 0.0;
    if (r1 - r0 == kRows)
        big = stream ? product_rows3<true>(a, b, out, m, stride, r0)
                     : product_rows3<false>(a, b, out, m, stride, r0);
    else
        for (size_t r = r0; r < r1; ++r)
            big = stream ? product_row<true>(a, b, out, m, stride, r, big)
                         : product_row<false>(a, b, out, m, stride, r, big);
    core::end_stream(stream);
    return big;
}

// When `big`, the largest |entry| of a matrix, lies outside [1e-100, 1e100]:
// the divisor that makes it 1e100 (or 1e-100).
bool rescale_divisor(double big, double& s) noexcept {
    if (big > 1e100)
        s = big / 1e100;
    else if (big > 0.0 && big < 1e-100)
        s = big / 1e-100;
    else
        return false;
    return true;
}

// Rows r0 .. r1 - 1 of x divided by s (the zero columns past m stay zero).
__attribute__((target_clones("avx2", "default"))) void divide_rows(double* x, size_t stride, size_t r0, size_t r1,
                                                                   double s, bool stream) {
    const V4 sv = {s, s, s, s};
    for (double* p = x + r0 * stride; p < x + r1 * stride; p += 4) core::store4(p, load(p) / sv, stream);
    core::end_stream(stream);
}

// The largest |entry| of x, then x rescaled by its divisor; returns ln of the
// divisor, or 0.
double rescale(Square& x) noexcept {
    double big = 0.0, s;
    for (size_t i = 0; i < x.m; ++i)
        for (size_t j = 0; j < x.m; ++j) big = std::max(big, std::fabs(x.at(i, j)));
    if (!rescale_divisor(big, s)) return 0.0;
    divide_rows(x.data(), x.stride, 0, x.m, s, false);
    return std::log(s);
}

// Products that share the right factor b: outs[k] = as[k] b for the first
// `count` of them, computed in one parallel section, each then rescaled;
// logs[k] takes ln of its divisor. On several threads every row is written
// past the caches, since every thread reads all of it next.
void mat_mul_scaled(const Square& b, const Square* const* as, Square* const* outs, double* logs, size_t count) {
    const size_t m = b.m, stride = b.stride;
    const size_t blocks = (m + kRows - 1) / kRows, items = blocks * count;
    Buf<double> bigs(items);
    // The products of one p-value run back to back with their workers awake,
    // so a sixteenth of the usual millisecond per worker still pays.
    const double terms =
        static_cast<double>(count) * static_cast<double>(m) * static_cast<double>(m) * static_cast<double>(m);
    const unsigned team = core::team_for(terms, kTermsPerMs / 16.0, items);
    const bool stream = team > 1;
    core::run_chunks(team, items, [&](size_t item, unsigned) {
        const size_t k = item / blocks, r0 = item % blocks * kRows;
        bigs[item] =
            product_item(as[k]->data(), b.data(), outs[k]->data(), m, stride, r0, std::min(m, r0 + kRows), stream);
    });
    double div[2];
    bool scaled[2], any = false;
    for (size_t k = 0; k < count; ++k) {
        double big = 0.0;
        for (size_t i = k * blocks; i < (k + 1) * blocks; ++i) big = std::max(big, bigs[i]);
        scaled[k] = rescale_divisor(big, div[k]);
        logs[k] = scaled[k] ? std::log(div[k]) : 0.0;
        any = any || scaled[k];
    }
    if (!any) return;
    core::run_chunks(team, items, [&](size_t item, unsigned) {
        const size_t k = item / blocks, r0 = item % blocks * kRows;
        if (scaled[k]) divide_rows(outs[k]->data(), stride, r0, std::min(m, r0 + kRows), div[k], stream);
    });
}

// Exact P(D >= d) by the matrix power (0 < d < 1).
double ks_matrix(size_t n, double d) {
    double dn = static_cast<double>(n);
    size_t k = static_cast<size_t>(std::floor(dn * d)) + 1;
    size_t m = 2 * k - 1;
    double h = static_cast<double>(k) - dn * d;
    Buf<double> f(m + 1);
    f[0] = 1.0;
    for (size_t i = 1; i <= m; ++i) f[i] = f[i - 1] / static_cast<double>(i);

    Square hm(m);
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j <= std::min(i + 1, m - 1); ++j) hm.at(i, j) = f[i - j + 1];
    for (size_t i = 0; i < m; ++i) hm.at(i, 0) -= std::pow(h, static_cast<double>(i + 1)) * f[i + 1];
    for (size_t j = 0; j < m; ++j) hm.at(m - 1, j) -= std::pow(h, static_cast<double>(m - j)) * f[m - j];
    if (2.0 * h - 1.0 > 0.0) hm.at(m - 1, 0) += std::pow(2.0 * h - 1.0, static_cast<double>(m)) * f[m];

    // Q = H^n by squaring over the bits of n from the lowest; each matrix
    // keeps the log of the factor its stored value was divided by. Q H and
    // H H read the same H, so they share one parallel section.
    Square q(m), next_q(m), next_h(m);
    bool have_q = false;
    double log_q = 0.0, log_h = 0.0;
    for (size_t bits = n; bits != 0; bits >>= 1) {
        const Square* as[2];
        Square* outs[2];
        double logs[2];
        size_t count = 0;
        const bool multiply = (bits & 1) != 0 && have_q, square = (bits >> 1) != 0;
        if ((bits & 1) != 0 && !have_q) {  // identity times H: H itself
            std::memcpy(q.data(), hm.data(), m * hm.stride * sizeof(double));
            have_q = true;
            log_q = log_h + rescale(q);
        }
        if (multiply) as[count] = &q, outs[count++] = &next_q;
        if (square) as[count] = &hm, outs[count++] = &next_h;
        if (count == 0) continue;
        mat_mul_scaled(hm, as, outs, logs, count);
        if (multiply) {
            q.swap(next_q);
            log_q = log_q + log_h + logs[0];
        }
        if (square) {
            hm.swap(next_h);
            log_h = 2.0 * log_h + logs[count - 1];
        }
    }
    double qk = q.at(k - 1, k - 1);
    if (qk <= 0.0) return 1.0;
    double p = std::exp(std::log(qk) + log_q + log_gamma(dn + 1.0) - dn * std::log(dn));
    return clamp_p(1.0 - std::min(p, 1.0));
}

}  // namespace

double ks_pvalue_one_sided_exact(size_t n, double d) {
    if (!std::isfinite(d)) return kNaN;
    if (d <= 0.0) return 1.0;
    if (d >= 1.0) return 0.0;
    double dn = static_cast<double>(n);
    size_t jmax = static_cast<size_t>(std::floor(dn * (1.0 - d)));
    // ln Gamma(i + 1) for i = 0 .. n, each evaluated once.
    Buf<double> lg(n + 1);
    for (size_t i = 0; i <= n; ++i) lg[i] = log_gamma(static_cast<double>(i) + 1.0);
    double big_l = lg[n];
    Kahan k;
    for (size_t j = 0; j <= jmax; ++j) {
        double jd = static_cast<double>(j);
        double ln_c = big_l - lg[j] - lg[n - j];
        double rest = 1.0 - d - jd / dn;
        double term;
        if (rest == 0.0)
            term = j == n ? std::exp(ln_c + (jd - 1.0) * std::log(d + jd / dn)) : 0.0;
        else
            term = std::exp(ln_c + (jd - 1.0) * std::log(d + jd / dn) + (dn - jd) * std::log(rest));
        k.add(term);
    }
    return clamp_p(k.sum * d);
}

double ks_pvalue_two_sided_finite(size_t n, double d) {
    if (!std::isfinite(d)) return kNaN;
    if (d <= 0.0) return 1.0;
    if (d >= 1.0) return 0.0;
    if (n > 10000) return ks_series(n, d);
    double nd = static_cast<double>(n) * d;
    if (2.0 * std::floor(nd) + 1.0 > static_cast<double>(kMaxOrder)) return ks_series(n, d);
    return ks_matrix(n, d);
}

Result<KsTest> ks_1samp(std::span<const double> x, std::string_view cdf, std::span<const double> params,
                        std::string_view alternative) {
    if (x.empty()) return value_error("x must have at least 1 element");
    if (auto e = reject_nonfinite(x, "x")) return std::move(*e);
    MS_TRY(alt, Alternative::from_str(alternative));
    Dist dist;
    if (cdf == "norm" || cdf == "normal")
        dist = Dist::Normal;
    else if (cdf == "uniform")
        dist = Dist::Uniform;
    else if (cdf == "expon" || cdf == "exponential")
        dist = Dist::Expon;
    else
        return value_error("cdf must be one of: 'norm', 'uniform', 'expon'");
    if (params.size() != 2) {
        const char* name = dist == Dist::Normal ? "norm" : dist == Dist::Uniform ? "uniform" : "expon";
        return value_error(std::string("cdf='") + name + "' expects params=[loc, scale]");
    }
    double loc = params[0], scale = params[1];
    if (!std::isfinite(loc) || !std::isfinite(scale)) return value_error("params must be finite");
    if (scale <= 0.0) return value_error("scale must be > 0");

    size_t n = x.size();
    double dn = static_cast<double>(n);
    Buf<uint64_t> keys = core::sorted_total_keys(n, [x](size_t i) { return x[i]; });
    double d_plus = 0.0, d_minus = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double fv = dist_cdf(dist, core::from_total_order_key(keys[i]), loc, scale);
        d_plus = std::max(d_plus, static_cast<double>(i + 1) / dn - fv);
        d_minus = std::max(d_minus, fv - static_cast<double>(i) / dn);
    }
    switch (alt.kind) {
        case Alternative::Greater: return KsTest{d_plus, ks_pvalue_one_sided_exact(n, d_plus)};
        case Alternative::Less: return KsTest{d_minus, ks_pvalue_one_sided_exact(n, d_minus)};
        default: {
            double d = std::max(d_plus, d_minus);
            return KsTest{d, ks_pvalue_two_sided_finite(n, d)};
        }
    }
}

}  // namespace ms::infer
