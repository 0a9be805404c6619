// Bivariate covariance and correlation, and the covariance, correlation,
// Gram and distance matrices of a 2-D array of any layout.
#include <cmath>
#include <limits>

#include "frame/frame.hpp"
#include "kernels/matrix/corr.hpp"
#include "kernels/matrix/cov.hpp"
#include "core/constants.hpp"

namespace ms {
namespace {

namespace k = kernels::matrix;


// ---------------------------------------------------------------- two series

Result<double> cov_np(Slice x, Slice y) {
    if (x.size() != y.size()) return value_error("x and y must have the same length");
    return k::cov_pair(x, y, false);
}

Result<double> corr_np(Slice x, Slice y) {
    if (x.size() != y.size()) return value_error("x and y must have the same length");
    return k::corr_pair(x, y, false);
}

Result<double> cov_nan_np(Slice x, Slice y) {
    if (x.size() != y.size()) return value_error("length mismatch");
    return k::cov_pair(x, y, true);
}

Result<double> corr_nan_np(Slice x, Slice y) {
    if (x.size() != y.size()) return value_error("length mismatch");
    return k::corr_pair(x, y, true);
}

// m * m; MemoryError when it overflows.
size_t square_len(size_t m) {
    size_t len;
    if (__builtin_mul_overflow(m, m, &len)) throw std::bad_alloc();
    return len;
}

// An m x m result filled with `v`.
Array2 square(size_t m, double v) {
    const size_t len = square_len(m);
    return Array2{v == 0.0 ? Buf<double>::zeros(len) : Buf<double>(len, v), m, m};
}

// The shared frame: give the degenerate shapes their fill without a kernel,
// else run the kernel into an m x m buffer (m = p, or n for the row Gram
// matrix), which it fills entirely: the buffer is not zeroed first.
template <class X, class Run>
Array2 matrix_fn(const X& x, Run run, size_t min_rows, double fill, bool over_rows = false) {
    const size_t m = over_rows ? x.rows : x.cols;
    if (x.rows < min_rows || x.cols == 0) return square(m, fill);
    Array2 out{Buf<double>(square_len(m)), m, m};
    run(x, out.buf.span());
    return out;
}

// The column kernels read the array where it lies; the pairwise-complete
// kernels walk a row-major copy.
void cov_skipna_out(const MatF64& x, k::Out out) { k::cov_matrix_skipna_out(x.v.span(), x.rows, x.cols, out); }

Array2 cov_matrix_np(const MatView& x) { return matrix_fn(x, k::cov_matrix_out, 2, kNaN); }
Array2 cov_matrix_bias_np(const MatView& x) { return matrix_fn(x, k::cov_matrix_bias_out, 1, 0.0); }
Array2 cov_matrix_centered_np(const MatView& x) { return matrix_fn(x, k::cov_matrix_centered_out, 2, 0.0); }
Array2 cov_matrix_skipna_np(const MatF64& x) { return matrix_fn(x, cov_skipna_out, 2, 0.0); }
Array2 xtx_matrix_np(const MatView& x) { return matrix_fn(x, k::xtx_matrix_out, 1, 0.0); }
Array2 xxt_matrix_np(const MatView& x) { return matrix_fn(x, k::xxt_matrix_out, 1, 0.0, true); }
Array2 pairwise_euclidean_cols_np(const MatView& x) {
    return matrix_fn(x, k::pairwise_euclidean_cols_out, 1, 0.0);
}
// With no rows every norm is 0: the kernel itself gives all NaN.
Array2 pairwise_cosine_cols_np(const MatView& x) { return matrix_fn(x, k::pairwise_cosine_cols_out, 0, 0.0); }
Array2 corr_matrix_np(const MatView& a) { return matrix_fn(a, k::corr_matrix_out, 2, 0.0); }
Array2 corr_distance_np(const MatView& a) { return matrix_fn(a, k::corr_distance_out, 2, 0.0); }

// Each entry from its own pair's rows: covariance and both variances.
void corr_skipna_out(const MatF64& x, k::Out out) { k::corr_matrix_skipna_out(x.v.span(), x.rows, x.cols, out); }
Array2 corr_matrix_skipna_np(const MatF64& a) { return matrix_fn(a, corr_skipna_out, 2, 0.0); }

// ---------------------------------------------------------------- square matrices

// The square-matrix functions read the few values they need in place: the
// same values a row-major copy would hold.
Result<Array1<double>> diag_np(const MatView& x) {
    if (x.rows != x.cols) return value_error("diag_np expects a square 2D array");
    Buf<double> out(x.rows);
    for (size_t i = 0; i < x.rows; ++i) out[i] = x.at(i, i);
    return Array1<double>(std::move(out));
}

Result<double> trace_np(const MatView& x) {
    if (x.rows != x.cols) return value_error("trace_np expects a square 2D array");
    double s = 0.0;
    for (size_t i = 0; i < x.rows; ++i) s += x.at(i, i);
    return s;
}

// A NaN difference never exceeds the tolerance.
bool is_symmetric_np(const MatView& x, double tol) {
    if (x.rows != x.cols) return false;
    const size_t n = x.rows;
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (std::fabs(x.at(i, j) - x.at(j, i)) > tol) return false;
    return true;
}

Family family{
    fn<"cov_np", &cov_np>("(x, y)"),
    fn<"corr_np", &corr_np>("(x, y)"),
    fn<"cov_nan_np", &cov_nan_np>("(x, y)"),
    fn<"cov_skipna", &cov_nan_np>("(x, y)"),
    fn<"corr_nan_np", &corr_nan_np>("(x, y)"),
    fn<"corr_skipna", &corr_nan_np>("(x, y)"),
    fn<"cov_matrix_np", &cov_matrix_np>("(x)"),
    fn<"cov_matrix_bias_np", &cov_matrix_bias_np>("(x)"),
    fn<"cov_matrix_centered_np", &cov_matrix_centered_np>("(x_centered)"),
    fn<"cov_matrix_skipna_np", &cov_matrix_skipna_np>("(x)"),
    fn<"xtx_matrix_np", &xtx_matrix_np>("(x)"),
    fn<"xxt_matrix_np", &xxt_matrix_np>("(x)"),
    fn<"pairwise_euclidean_cols_np", &pairwise_euclidean_cols_np>("(x)"),
    fn<"pairwise_cosine_cols_np", &pairwise_cosine_cols_np>("(x)"),
    fn<"corr_matrix_np", &corr_matrix_np>("(a)"),
    fn<"corr_matrix_skipna_np", &corr_matrix_skipna_np>("(a)"),
    fn<"corr_distance_np", &corr_distance_np>("(a)"),
    fn<"diag_np", &diag_np>("(a)"),
    fn<"trace_np", &trace_np>("(a)"),
    fn<"is_symmetric_np", &is_symmetric_np>("(a, tol)"),
};

}  // namespace
}  // namespace ms
