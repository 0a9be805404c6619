// Covariance, Gram and distance matrices over the columns (or rows) of an
// n x p array, and the covariance of two series.
//
// The matrix kernels share one pattern: the rows of the output are filled on
// the worker pool, each row only in its entries j >= i and by one work item,
// and the upper triangle is mirrored below the diagonal. Each entry is summed
// by one work item in a fixed order, so results do not depend on the number
// of workers. Every kernel writes every entry of its m x m output, which need
// not be zeroed.
#pragma once

#include <algorithm>
#include <cmath>
#include <new>
#include <cstddef>
#include <span>

#include "core/parallel.hpp"
#include "core/result.hpp"

namespace ms::kernels::matrix {

using In = std::span<const double>;
using Out = std::span<double>;

// Threads for m output rows costing up to `cost` terms each (a full row;
// the upper triangle is about half of m * cost): one per 2^22 terms (about
// 0.4 ms of the blocked loops). The caller takes every chunk no worker has
// started, so a worker the system is slow to schedule costs nothing; 1 for a
// single row or without a pool.
inline unsigned team_size(size_t m, double cost) {
    return core::team_for(0.5 * static_cast<double>(m) * cost, 4194304.0, m);
}

// The cost of one output row of a matrix over the m columns (or rows) of an
// n x m input: a term for each of its m entries and each input row, with
// the term about four times one of a plain sum. It sizes the matrix's team
// and the passes that follow on that team, whose workers are then awake.
inline double gram_row_cost(size_t n, size_t m) { return 4.0 * static_cast<double>(n) * static_cast<double>(m); }

// Runs item(k, scratch) for k in [0, items), one item per chunk, on a team
// of `threads` (on the calling thread when 1). Each thread owns a scratch of
// `scratch_len` doubles, allocated before the parallel section so nothing can
// throw on a worker.
template <class Item>
void run_items(unsigned threads, size_t items, size_t scratch_len, Item&& item) {
    size_t total;
    if (__builtin_mul_overflow(static_cast<size_t>(threads), scratch_len, &total)) throw std::bad_alloc();
    Buf<double> scratch(total);
    core::run_chunks(threads, items, [&](size_t k, unsigned slot) {
        item(k, scratch.data() + static_cast<size_t>(slot) * scratch_len);
    });
}

// Runs row(i) for every output row i in [0, m) of `cost` each.
template <class Row>
void fill_rows(size_t m, double cost, Row&& row) {
    run_items(team_size(m, cost), m, 0, [&](size_t i, double*) { row(i); });
}

// out[j, i] = out[i, j] for j > i.
void mirror_upper(Out out, size_t m);


// The column kernels read the caller's 2-D array where it lies (any strides,
// float64 or float32), each value once while packing it.
// Sample covariance (divisor n - 1) and biased covariance (divisor n); n >= 1.
void cov_matrix_out(const MatView& x, Out out);
// The same left in the unit the data are read in (data beyond the plain
// range): its ratios, the correlations, are those of cov_matrix_out.
void cov_matrix_in_unit_out(const MatView& x, Out out);
void cov_matrix_bias_out(const MatView& x, Out out);
// Sum of x[r,i] * x[r,j] over r, divided by n - 1: the input is taken as centred.
void cov_matrix_centered_out(const MatView& x, Out out);
// Pairwise-complete covariance over rows where both columns are finite,
// shifted by the pair's values in the first such row; x row-major n x p.
void cov_matrix_skipna_out(In x, size_t n, size_t p, Out out);

// The sums of the pairs (i, i + k), k < len, over their pairwise-complete
// rows: count, sums of a, b, a * b and, when asked for, of a * a and b * b
// (else null), a and b the deviations from the pair's shifts.
struct CompleteSums {
    const double *c, *sa, *sb, *sab, *saa, *sbb;
};
// Writes the entries (i, i + k), k < len, from their sums; runs on a worker.
using CompleteEntries = void (*)(const CompleteSums& s, size_t len, double* o) noexcept;
// Forms the sums of every pair j >= i of the columns of x (row-major n x p,
// rows where both values are finite), has `entries` write row i of `out`
// from them, and mirrors the upper triangle. Entries carry the power-th
// power of the data's unit.
void complete_pairs_out(In x, size_t n, size_t p, bool squares, CompleteEntries entries, int power, Out out);
void xtx_matrix_out(const MatView& x, Out out);
// n x n: sum over columns k of x[i,k] * x[j,k].
void xxt_matrix_out(const MatView& x, Out out);
void pairwise_euclidean_cols_out(const MatView& x, Out out);
// Cosine distance 1 - cos; NaN for a zero or NaN norm product.
void pairwise_cosine_cols_out(const MatView& x, Out out);

// Sums of deviations from the first finite value of each series among the
// pairs used: all pairs (a NaN stops the walk) or the pairs without NaN.
// Series beyond the plain range are summed in their units: then sxy carries
// 2^exponent (sx and sxx that of x, sy and syy that of y).
struct PairSums {
    double c = 0.0, sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0, syy = 0.0;
    bool hit_nan = false;  // the walk stopped at a NaN (plain form)
    int exponent = 0;
};
PairSums pair_sums(In x, In y, bool skip_nan, bool squares);

// (Sxy - Sx * Sy / c) / (c - 1).
inline double centred_moment(double sab, double sa, double sb, double c) {
    return (sab - sa * sb / c) / (c - 1.0);
}

// Sample covariance of two equally long series; NaN for fewer than two pairs
// or, without skipping, for any NaN.
double cov_pair(In x, In y, bool skip_nan);

}  // namespace ms::kernels::matrix
