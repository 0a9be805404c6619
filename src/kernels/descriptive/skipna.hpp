// NaN-skipping moments: a NaN is left out as if it were not there, infinities
// take part. Sums run left to right from 0.0 over the kept values, so each
// result equals the plain moment of a filtered copy, without making the copy.
#pragma once

#include <cstdint>
#include <span>

namespace ms::kernels::descriptive {

double mean_skipna(std::span<const double> x) noexcept;

struct MeanVar {
    double mean, var;
};

// Mean and sample variance (divisor k - 1) of the k non-NaN values; the
// variance is NaN when k < 2.
MeanVar mean_var_skipna(std::span<const double> x) noexcept;
double var_skipna(std::span<const double> x) noexcept;
double stddev_skipna(std::span<const double> x) noexcept;

// z-scores over the non-NaN values; NaN inputs stay NaN in place.
void zscore_skipna(std::span<const double> x, double* out) noexcept;

struct Welford {
    double mean, var;
    uint64_t count;
};

// One-pass running mean and sum of squared deviations over the non-NaN values.
Welford welford(std::span<const double> x) noexcept;

}  // namespace ms::kernels::descriptive
