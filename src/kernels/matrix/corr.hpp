// Correlation matrices, correlation distance and the correlation of two series.
#pragma once

#include "kernels/matrix/cov.hpp"

namespace ms::kernels::matrix {

// Turns a symmetric p x p covariance matrix into correlations, in place:
// clamped to [-1, 1]; NaN where a standard deviation is not a finite
// positive number. `row_cost` is the covariance's gram_row_cost: the
// conversion runs on the covariance's team.
void corr_from_cov_in_place(Out m, size_t p, double row_cost);
// Pearson correlation of the columns; n >= 1.
void corr_matrix_out(const MatView& x, Out out);
// Pairwise-complete correlation: each entry from the covariance and the two
// variances of the rows where both columns are finite; x row-major n x p.
void corr_matrix_skipna_out(In x, size_t n, size_t p, Out out);
// 1 - correlation, NaN kept; diagonal 0.0 or NaN.
void corr_distance_out(const MatView& x, Out out);

// Pearson correlation of two equally long series; NaN for fewer than two
// pairs, a non-positive or non-finite variance or a non-finite covariance.
double corr_pair(In x, In y, bool skip_nan);

}  // namespace ms::kernels::matrix
