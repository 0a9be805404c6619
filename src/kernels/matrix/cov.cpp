#include "kernels/matrix/cov.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

namespace ms::kernels::matrix {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline bool finite(double v) { return std::fabs(v) <= DBL_MAX; }

constexpr auto product = [](double a, double b) { return a * b; };
constexpr auto squared_difference = [](double a, double b) {
    const double d = a - b;
    return d * d;
};

// Adds term(x[r,i] - mu[i], x[r,j] - mu[j]) for rows r0 ... r1 - 1, in
// order, to out row i (entries j >= i); without `Centre` the values are used
// as they are. Vectorised across j.
template <bool Centre, class Term>
inline __attribute__((always_inline)) void add_rows(const double* x, const double* mu, size_t p, size_t i,
                                                    size_t r0, size_t r1, double* out, Term term) {
    double* __restrict o = out + i * p;
    const double* __restrict m = mu;
    auto v = [&](const double* __restrict xr, size_t j) { return Centre ? xr[j] - m[j] : xr[j]; };
    size_t r = r0;
    for (; r + 4 <= r1; r += 4) {
        const double* __restrict x0 = x + r * p;
        const double* __restrict x1 = x0 + p;
        const double* __restrict x2 = x1 + p;
        const double* __restrict x3 = x2 + p;
        const double a0 = v(x0, i), a1 = v(x1, i), a2 = v(x2, i), a3 = v(x3, i);
        for (size_t j = i; j < p; ++j)
            o[j] = (((o[j] + term(a0, v(x0, j))) + term(a1, v(x1, j))) + term(a2, v(x2, j))) + term(a3, v(x3, j));
    }
    for (; r < r1; ++r) {
        const double* __restrict x0 = x + r * p;
        const double a0 = v(x0, i);
        for (size_t j = i; j < p; ++j) o[j] = o[j] + term(a0, v(x0, j));
    }
}

// Wider vectors where the processor has them: the same operations in the
// same order, so the same results.
#if defined(__x86_64__) && defined(__GNUC__)
#define MS_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define MS_WIDE
#endif

MS_WIDE void add_products(const double* x, const double*, size_t p, size_t i, size_t r0, size_t r1, double* out) {
    add_rows<false>(x, nullptr, p, i, r0, r1, out, product);
}
MS_WIDE void add_centred_products(const double* x, const double* mu, size_t p, size_t i, size_t r0, size_t r1,
                                  double* out) {
    add_rows<true>(x, mu, p, i, r0, r1, out, product);
}
MS_WIDE void add_squared_differences(const double* x, const double*, size_t p, size_t i, size_t r0, size_t r1,
                                     double* out) {
    add_rows<false>(x, nullptr, p, i, r0, r1, out, squared_difference);
}

// Work items over the p output rows of a column kernel: interleaved sets of
// rows (g, g + count, ...), of even cost, each carrying its rows through
// every block of input rows, so a block is read from memory once per item,
// not once per output row.
struct Groups {
    unsigned threads;
    size_t count;
};
Groups row_groups(size_t p, double cost) {
    const unsigned threads = team_size(p, cost);
    return {threads, std::min<size_t>(p, 4 * static_cast<size_t>(threads))};
}

// Rows per block: about 256 KiB of input.
size_t block_rows(size_t p) { return std::max<size_t>(8, (size_t{32} << 10) / std::max<size_t>(p, 1)); }

// For rows r0 ... r1 - 1 in order, adds to the sums of row i (count c, then
// sums of a, b and a * b, each p - i long) the rows where x[r,i] and x[r,j]
// are both finite, a and b their deviations from the column shifts. A row
// missing from a pair adds +0.0 to its sums, which leaves them unchanged (a
// sum started at +0.0 is never -0.0), so the masked loop equals skipping it.
MS_WIDE void add_complete_pairs(const double* x, const double* shift, size_t p, size_t i, size_t r0, size_t r1,
                                double* acc) {
    const size_t len = p - i;
    double* __restrict c = acc;
    double* __restrict sa = acc + len;
    double* __restrict sb = acc + 2 * len;
    double* __restrict sab = acc + 3 * len;
    const double* __restrict sj = shift + i;
    for (size_t r = r0; r < r1; ++r) {
        const double* __restrict xj = x + r * p + i;
        if (!finite(xj[0])) continue;  // no pair of this row can use it
        const double a = xj[0] - sj[0];
        for (size_t k = 0; k < len; ++k) {
            const bool ok = finite(xj[k]);
            const double ak = ok ? a : 0.0;
            const double bk = ok ? xj[k] - sj[k] : 0.0;
            c[k] += ok ? 1.0 : 0.0;
            sa[k] += ak;
            sb[k] += bk;
            sab[k] += ak * bk;
        }
    }
}

using AddRows = void (*)(const double*, const double*, size_t, size_t, size_t, size_t, double*);

// Sums over the rows r of term(x[r,i], x[r,j]) for every column pair j >= i,
// left in out[i, j] (which starts at +0.0). The rows are taken in blocks that
// stay in cache while the output rows add the block's terms; each entry is
// summed by one work item, in row order, one block after another, so the
// split into blocks and over threads never changes a sum.
void column_pair_sums(const double* x, const double* mu, size_t n, size_t p, double* out, AddRows rows_of) {
    const size_t block = block_rows(p);
    auto rows = [&](size_t i, size_t r0, size_t r1) { rows_of(x, mu, p, i, r0, r1, out); };
    const Groups gr = row_groups(p, static_cast<double>(n) * static_cast<double>(p));
    run_items(gr.threads, gr.count, 0, [&](size_t g, double*) {
        for (size_t r0 = 0; r0 < n; r0 += block)
            for (size_t i = g; i < p; i += gr.count) rows(i, r0, std::min(n, r0 + block));
    });
}

// The Gram matrix of the columns less `mu` (when given), each entry divided
// by `div` (when given).
void gram_cols(const double* x, const double* mu, size_t n, size_t p, Out out, const double* div) {
    column_pair_sums(x, mu, n, p, out.data(), mu ? add_centred_products : add_products);
    if (div)
        for (size_t i = 0; i < p; ++i)
            for (size_t j = i; j < p; ++j) out[i * p + j] /= *div;
    mirror_upper(out, p);
}

// The covariance with divisor `div`: deviations from the column means,
// formed as each term is read.
void centred_gram(In x, size_t n, size_t p, Out out, double div) {
    Buf<double> means(p);
    column_means(x, n, p, means.data());
    gram_cols(x.data(), means.data(), n, p, out, &div);
}

}  // namespace

void mirror_upper(Out out, size_t m) {
    for (size_t i = 0; i < m; ++i)
        for (size_t j = i + 1; j < m; ++j) out[j * m + i] = out[i * m + j];
}

void column_means(In x, size_t n, size_t p, double* means) {
    std::fill(means, means + p, 0.0);
    for (size_t r = 0; r < n; ++r) {
        const double* xr = x.data() + r * p;
        for (size_t j = 0; j < p; ++j) means[j] += xr[j];
    }
    const double inv = 1.0 / static_cast<double>(n);
    for (size_t j = 0; j < p; ++j) means[j] *= inv;
}

void column_shifts(In x, size_t n, size_t p, double* shifts) {
    for (size_t j = 0; j < p; ++j) {
        shifts[j] = 0.0;
        for (size_t r = 0; r < n; ++r)
            if (finite(x[r * p + j])) { shifts[j] = x[r * p + j]; break; }
    }
}

void cov_matrix_out(In x, size_t n, size_t p, Out out) { centred_gram(x, n, p, out, static_cast<double>(n - 1)); }

void cov_matrix_bias_out(In x, size_t n, size_t p, Out out) { centred_gram(x, n, p, out, static_cast<double>(n)); }

void cov_matrix_centered_out(In x, size_t n, size_t p, Out out) {
    const double div = static_cast<double>(n - 1);
    gram_cols(x.data(), nullptr, n, p, out, &div);
}

void xtx_matrix_out(In x, size_t n, size_t p, Out out) { gram_cols(x.data(), nullptr, n, p, out, nullptr); }

void cov_matrix_skipna_out(In x, size_t n, size_t p, Out out) {
    Buf<double> shift(p);
    column_shifts(x, n, p, shift.data());
    const size_t block = block_rows(p);
    const Groups gr = row_groups(p, 4.0 * static_cast<double>(n) * static_cast<double>(p));
    // Per row of an item: count, sum of a, sum of b and sum of a * b for
    // every j >= i, kept across the blocks.
    const size_t per_item = 4 * p * ((p + gr.count - 1) / gr.count);
    run_items(gr.threads, gr.count, per_item, [&](size_t g, double* acc) {
        std::fill(acc, acc + per_item, 0.0);
        for (size_t r0 = 0; r0 < n; r0 += block) {
            double* a = acc;
            for (size_t i = g; i < p; i += gr.count) {
                add_complete_pairs(x.data(), shift.data(), p, i, r0, std::min(n, r0 + block), a);
                a += 4 * (p - i);
            }
        }
        const double* a = acc;
        for (size_t i = g; i < p; i += gr.count) {
            const size_t len = p - i;
            const double *c = a, *sa = a + len, *sb = a + 2 * len, *sab = a + 3 * len;
            double* o = out.data() + i * p + i;
            for (size_t k = 0; k < len; ++k)
                o[k] = c[k] < 2.0 ? kNaN : (sab[k] - (sb[k] * sa[k]) / c[k]) / (c[k] - 1.0);
            a += 4 * len;
        }
    });
    mirror_upper(out, p);
}

// The row Gram matrix is the column Gram matrix of the transpose: entry
// (i, j) sums x[i,k] * x[j,k] in column order k = 0 ... p - 1.
void xxt_matrix_out(In x, size_t n, size_t p, Out out) {
    Buf<double> t(n * p);
    for (size_t r = 0; r < n; ++r)
        for (size_t k = 0; k < p; ++k) t[k * n + r] = x[r * p + k];
    gram_cols(t.data(), nullptr, p, n, out, nullptr);
}

void pairwise_euclidean_cols_out(In x, size_t n, size_t p, Out out) {
    column_pair_sums(x.data(), nullptr, n, p, out.data(), add_squared_differences);
    for (size_t i = 0; i < p; ++i) {
        out[i * p + i] = 0.0;
        for (size_t j = i + 1; j < p; ++j) out[i * p + j] = std::sqrt(out[i * p + j]);
    }
    mirror_upper(out, p);
}

void pairwise_cosine_cols_out(In x, size_t n, size_t p, Out out) {
    Buf<double> norm = Buf<double>::zeros(p);
    for (size_t r = 0; r < n; ++r) {
        const double* xr = x.data() + r * p;
        for (size_t j = 0; j < p; ++j) norm[j] += xr[j] * xr[j];
    }
    for (size_t j = 0; j < p; ++j) norm[j] = std::sqrt(norm[j]);
    column_pair_sums(x.data(), nullptr, n, p, out.data(), add_products);
    for (size_t i = 0; i < p; ++i) {
        double* o = out.data() + i * p;
        o[i] = norm[i] == 0.0 ? kNaN : 0.0;
        for (size_t j = i + 1; j < p; ++j) {
            const double d = norm[i] * norm[j];
            o[j] = (d == 0.0 || std::isnan(d)) ? kNaN : 1.0 - o[j] / d;
        }
    }
    mirror_upper(out, p);
}

PairSums pair_sums(In x, In y, bool skip_nan, bool squares) {
    auto first_finite = [](In v) {
        for (double e : v)
            if (finite(e)) return e;
        return 0.0;
    };
    const double shx = first_finite(x), shy = first_finite(y);
    PairSums s;
    const size_t n = x.size();
    if (!skip_nan) {
        for (size_t i = 0; i < n; ++i) {
            if (std::isnan(x[i]) || std::isnan(y[i])) { s.hit_nan = true; return s; }
            const double dx = x[i] - shx, dy = y[i] - shy;
            s.sx += dx;
            s.sy += dy;
            s.sxy += dx * dy;
            if (squares) { s.sxx += dx * dx; s.syy += dy * dy; }
        }
        s.c = static_cast<double>(n);
        return s;
    }
    // A skipped pair adds +0.0 to every sum, which leaves it unchanged.
    for (size_t i = 0; i < n; ++i) {
        const bool ok = !(std::isnan(x[i]) || std::isnan(y[i]));
        const double dx = ok ? x[i] - shx : 0.0, dy = ok ? y[i] - shy : 0.0;
        s.c += ok ? 1.0 : 0.0;
        s.sx += dx;
        s.sy += dy;
        s.sxy += dx * dy;
        if (squares) { s.sxx += dx * dx; s.syy += dy * dy; }
    }
    return s;
}

double cov_pair(In x, In y, bool skip_nan) {
    if (!skip_nan && x.size() < 2) return kNaN;
    const PairSums s = pair_sums(x, y, skip_nan, false);
    if (s.hit_nan || s.c < 2.0) return kNaN;
    return centred_moment(s.sxy, s.sx, s.sy, s.c);
}

}  // namespace ms::kernels::matrix
