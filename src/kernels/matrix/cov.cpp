#include "kernels/matrix/cov.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

namespace ms::kernels::matrix {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Columns per block of a row's accumulators: small enough to stay in L1
// while the rows of the input stream past.
constexpr size_t kBlock = 512;

inline bool finite(double v) { return std::fabs(v) <= DBL_MAX; }

// Sums over the rows r of term(x[r,i], x[r,j]) for every column pair j >= i,
// left in out[i, j] (which starts at +0.0). The rows are taken in blocks that
// stay in cache while the output rows add the block's terms; each entry is
// summed by one work item, in row order, one block after another, so the
// split into blocks and over threads never changes a sum.
template <class Term>
void column_pair_sums(const double* x, size_t n, size_t p, double* out, Term term) {
    // Rows per block: about 256 KiB of input.
    const size_t block = std::max<size_t>(8, (size_t{32} << 10) / std::max<size_t>(p, 1));
    auto rows = [&](size_t i, size_t r0, size_t r1) {
        double* __restrict o = out + i * p;
        size_t r = r0;
        for (; r + 4 <= r1; r += 4) {
            const double* __restrict x0 = x + r * p;
            const double* __restrict x1 = x0 + p;
            const double* __restrict x2 = x1 + p;
            const double* __restrict x3 = x2 + p;
            const double a0 = x0[i], a1 = x1[i], a2 = x2[i], a3 = x3[i];
            for (size_t j = i; j < p; ++j)
                o[j] = (((o[j] + term(a0, x0[j])) + term(a1, x1[j])) + term(a2, x2[j])) + term(a3, x3[j]);
        }
        for (; r < r1; ++r) {
            const double* __restrict x0 = x + r * p;
            const double a0 = x0[i];
            for (size_t j = i; j < p; ++j) o[j] = o[j] + term(a0, x0[j]);
        }
    };
    // Work items are interleaved sets of output rows (row g, g + groups, ...,
    // of even cost), each carrying its rows through every block: a block is
    // read from memory once per item, not once per row.
    const int threads = team_size(p, static_cast<double>(n) * static_cast<double>(p));
    const size_t groups = threads == 1 ? 1 : std::min<size_t>(p, 4 * static_cast<size_t>(threads));
    auto item = [&](size_t g) {
        for (size_t r0 = 0; r0 < n; r0 += block)
            for (size_t i = g; i < p; i += groups) rows(i, r0, std::min(n, r0 + block));
    };
    if (threads == 1) {
        item(0);
        return;
    }
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
    for (size_t g = 0; g < groups; ++g) item(g);
}

constexpr auto product = [](double a, double b) { return a * b; };
constexpr auto squared_difference = [](double a, double b) {
    const double d = a - b;
    return d * d;
};

// The Gram matrix of the columns, each entry divided by `div` when given.
void gram_cols(const double* x, size_t n, size_t p, Out out, const double* div) {
    column_pair_sums(x, n, p, out.data(), product);
    if (div)
        for (size_t i = 0; i < p; ++i)
            for (size_t j = i; j < p; ++j) out[i * p + j] /= *div;
    mirror_upper(out, p);
}

// The covariance with divisor `div`: the Gram matrix of the columns less their means.
void centred_gram(In x, size_t n, size_t p, Out out, double div) {
    Buf<double> means(p);
    column_means(x, n, p, means.data());
    Buf<double> z(n * p);
    for (size_t r = 0; r < n; ++r)
        for (size_t j = 0; j < p; ++j) z[r * p + j] = x[r * p + j] - means[j];
    gram_cols(z.data(), n, p, out, &div);
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
    gram_cols(x.data(), n, p, out, &div);
}

void xtx_matrix_out(In x, size_t n, size_t p, Out out) { gram_cols(x.data(), n, p, out, nullptr); }

void cov_matrix_skipna_out(In x, size_t n, size_t p, Out out) {
    Buf<double> shift(p);
    column_shifts(x, n, p, shift.data());
    const double* xs = x.data();
    // Per row: count, sum of a, sum of b, sum of a * b for every j >= i, in
    // blocks. A row missing from a pair adds +0.0 to its sums, which leaves
    // them unchanged (a sum started at +0.0 is never -0.0), so the masked
    // loop equals skipping the row.
    fill_rows(p, 4 * std::min(p, kBlock), 4.0 * static_cast<double>(n) * static_cast<double>(p),
              [&](size_t i, double* acc) {
        const size_t len = p - i;
        const double si = shift[i];
        for (size_t b0 = 0; b0 < len; b0 += kBlock) {
            const size_t bl = std::min(kBlock, len - b0);
            double* c = acc;
            double* sa = acc + bl;
            double* sb = acc + 2 * bl;
            double* sab = acc + 3 * bl;
            std::fill(acc, acc + 4 * bl, 0.0);
            const double* sj = shift.data() + i + b0;
            for (size_t r = 0; r < n; ++r) {
                const double* xr = xs + r * p;
                const double xi = xr[i];
                if (!finite(xi)) continue;  // no pair of this row can use it
                const double a = xi - si;
                const double* xj = xr + i + b0;
                for (size_t k = 0; k < bl; ++k) {
                    const bool ok = finite(xj[k]);
                    const double ak = ok ? a : 0.0;
                    const double bk = ok ? xj[k] - sj[k] : 0.0;
                    c[k] += ok ? 1.0 : 0.0;
                    sa[k] += ak;
                    sb[k] += bk;
                    sab[k] += ak * bk;
                }
            }
            double* o = out.data() + i * p + i + b0;
            for (size_t k = 0; k < bl; ++k)
                o[k] = c[k] < 2.0 ? kNaN : (sab[k] - (sb[k] * sa[k]) / c[k]) / (c[k] - 1.0);
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
    gram_cols(t.data(), p, n, out, nullptr);
}

void pairwise_euclidean_cols_out(In x, size_t n, size_t p, Out out) {
    column_pair_sums(x.data(), n, p, out.data(), squared_difference);
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
    column_pair_sums(x.data(), n, p, out.data(), product);
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
