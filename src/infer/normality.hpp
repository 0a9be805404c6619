// Normality tests: Jarque-Bera, Anderson-Darling, and the summary that
// reports both with the moments.
#pragma once

#include <cstdint>
#include <span>

#include "core/result.hpp"

namespace ms::infer {

struct JarqueBera {
    double statistic, pvalue, skewness, kurtosis;
};

struct NormalitySummary {
    double skewness, kurtosis, excess_kurtosis, jb_statistic, jb_pvalue, ad_statistic;
    int64_t n;
};

Result<JarqueBera> jarque_bera(std::span<const double> x);
Result<double> anderson_darling(std::span<const double> x);
Result<NormalitySummary> normality_summary(std::span<const double> x);

}  // namespace ms::infer
