// NaN-skipping moments: a NaN is left out as if it were not there, infinities
// take part. Sums run left to right from 0.0 over the kept values, so each
// result equals the plain moment of a filtered copy, without making the copy.
#pragma once

#include <cstdint>
#include <span>

namespace ms::kernels::descriptive {

double mean_skipna(std::span<const double> x) noexcept;

// Sample variance (divisor k - 1) of the k non-NaN values, NaN when k < 2,
// and its square root.
double var_skipna(std::span<const double> x);
double stddev_skipna(std::span<const double> x);

// z-scores over the non-NaN values; NaN inputs stay NaN in place.
void zscore_skipna(std::span<const double> x, double* out);

struct Welford {
    double mean, var;
    uint64_t count;
};

// One-pass running mean and sum of squared deviations over the non-NaN values.
Welford welford(std::span<const double> x);

}  // namespace ms::kernels::descriptive
