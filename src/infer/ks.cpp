#include "infer/ks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/parallel.hpp"
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

// Divides every entry by s where the largest |entry| leaves [1e-100, 1e100];
// returns ln s, or 0 when nothing changed.
double rescale(double* p, size_t count) noexcept {
    double big = 0.0;
    for (size_t i = 0; i < count; ++i) big = std::max(big, std::fabs(p[i]));
    double s;
    if (big > 1e100)
        s = big / 1e100;
    else if (big > 0.0 && big < 1e-100)
        s = big / 1e-100;
    else
        return 0.0;
    for (size_t i = 0; i < count; ++i) p[i] /= s;
    return std::log(s);
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

// Exact P(D >= d) by the matrix power (0 < d < 1).
double ks_matrix(size_t n, double d) {
    double dn = static_cast<double>(n);
    size_t k = static_cast<size_t>(std::floor(dn * d)) + 1;
    size_t m = 2 * k - 1;
    double h = static_cast<double>(k) - dn * d;
    Buf<double> f(m + 1);
    f[0] = 1.0;
    for (size_t i = 1; i <= m; ++i) f[i] = f[i - 1] / static_cast<double>(i);

    Buf<double> hm = Buf<double>::zeros(m * m);
    auto H = [&](size_t i, size_t j) -> double& { return hm[i * m + j]; };
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j <= std::min(i + 1, m - 1); ++j) H(i, j) = f[i - j + 1];
    for (size_t i = 0; i < m; ++i) H(i, 0) -= std::pow(h, static_cast<double>(i + 1)) * f[i + 1];
    for (size_t j = 0; j < m; ++j) H(m - 1, j) -= std::pow(h, static_cast<double>(m - j)) * f[m - j];
    if (2.0 * h - 1.0 > 0.0) H(m - 1, 0) += std::pow(2.0 * h - 1.0, static_cast<double>(m)) * f[m];

    // Q = H^n by squaring over the bits of n from the lowest; each matrix
    // keeps the log of the factor its stored value was divided by.
    Buf<double> q, tmp(m * m);
    double log_q = 0.0, log_h = 0.0;
    for (size_t bits = n;;) {
        if (bits & 1) {
            if (q.empty()) {  // identity times H: H itself
                q = Buf<double>::from(hm.span());
                log_q = log_h + rescale(q.data(), m * m);
            } else {
                double r = mat_mul_scaled(q.data(), hm.data(), tmp.data(), m);
                std::swap(q, tmp);
                log_q = log_q + log_h + r;
            }
        }
        bits >>= 1;
        if (bits == 0) break;
        double r = mat_mul_scaled(hm.data(), hm.data(), tmp.data(), m);
        std::swap(hm, tmp);
        log_h = 2.0 * log_h + r;
    }
    double qk = q[(k - 1) * m + (k - 1)];
    if (qk <= 0.0) return 1.0;
    double p = std::exp(std::log(qk) + log_q + log_gamma(dn + 1.0) - dn * std::log(dn));
    return clamp_p(1.0 - std::min(p, 1.0));
}

}  // namespace

namespace {

// Kahan products: every entry P[r][j] sums A[r][l] * B[l][j] over l in order,
// skipping l where A[r][l] = 0, with its own compensation. Entries are
// independent, so computing them three rows by eight columns at a time, with
// the sums in registers, or on several threads, changes no bit.
using V4 = double __attribute__((vector_size(32)));
constexpr size_t kRows = 3, kVecs = 2, kCols = 4 * kVecs;

// Kahan-product terms one thread adds in about a millisecond.
constexpr double kTermsPerMs = 4e6;
// Rows per work item.
constexpr size_t kRowsPerItem = 2 * kRows;

// Rows r .. r + R - 1 of the product; b has rows `bs` >= m apart (a multiple
// of kCols, the columns past m zero).
template <size_t R>
__attribute__((always_inline)) inline void product_block(const double* a, const double* b, size_t bs, double* out,
                                                         size_t m, size_t r) noexcept {
    const double* ar[R];
    for (size_t i = 0; i < R; ++i) ar[i] = a + (r + i) * m;
    for (size_t j = 0; j < m; j += kCols) {
        V4 p[R][kVecs] = {}, c[R][kVecs] = {};
        for (size_t l = 0; l < m; ++l) {
            V4 bv[kVecs];
            for (size_t v = 0; v < kVecs; ++v) std::memcpy(&bv[v], b + l * bs + j + 4 * v, sizeof(V4));
            for (size_t i = 0; i < R; ++i) {
                const double av = ar[i][l];
                if (av == 0.0) continue;
                for (size_t v = 0; v < kVecs; ++v) {
                    V4 y = av * bv[v] - c[i][v];
                    V4 t = p[i][v] + y;
                    c[i][v] = (t - p[i][v]) - y;
                    p[i][v] = t;
                }
            }
        }
        for (size_t i = 0; i < R; ++i)
            for (size_t v = 0; v < kVecs && j + 4 * v < m; ++v)
                std::memcpy(out + (r + i) * m + j + 4 * v, &p[i][v],
                            sizeof(double) * std::min<size_t>(4, m - j - 4 * v));
    }
}

__attribute__((target_clones("avx2", "default"))) void product_rows(const double* a, const double* b, size_t bs,
                                                                    double* out, size_t m, size_t r0, size_t r1) {
    size_t r = r0;
    for (; r + kRows <= r1; r += kRows) product_block<kRows>(a, b, bs, out, m, r);
    for (; r < r1; ++r) product_block<1>(a, b, bs, out, m, r);
}

}  // namespace

double mat_mul_scaled(const double* a, const double* b, double* out, size_t m) {
    const size_t bs = (m + kCols - 1) / kCols * kCols;
    Buf<double> padded = Buf<double>::zeros(m * bs);
    for (size_t l = 0; l < m; ++l) std::memcpy(padded.data() + l * bs, b + l * m, m * sizeof(double));
    // The products of one p-value run back to back with their workers awake,
    // so a sixteenth of the usual millisecond per worker still pays.
    const size_t items = (m + kRowsPerItem - 1) / kRowsPerItem;
    const double terms = static_cast<double>(m) * static_cast<double>(m) * static_cast<double>(m);
    const unsigned team = core::team_for(terms, kTermsPerMs / 16.0, items);
    core::run_chunks(team, items, [&](size_t item, unsigned) {
        const size_t r0 = item * kRowsPerItem;
        product_rows(a, padded.data(), bs, out, m, r0, std::min(m, r0 + kRowsPerItem));
    });
    return rescale(out, m * m);
}

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
