// Autocorrelation and partial autocorrelation kernels. Every lag sum is a
// plain sum in increasing time order from 0.0, so results are bit-identical to
// the direct loop; speed comes from summing many lags side by side in one pass.
#pragma once

#include <cstddef>
#include <span>

#include "core/result.hpp"

namespace ms::kernels::tsa {

// out[k - k0] = sum over t = k..n-1 of (x_t - mx)·(y_{t-k} - my), for every
// k in [k0, k1); a lag k >= n gives 0.0. x and y have the same length n.
void lag_sums(std::span<const double> x, double mx, std::span<const double> y, double my, size_t k0, size_t k1,
              double* out);

// Sample autocorrelations at lags 0..L (n >= 1). A constant series, or one
// whose variance is not positive, gives [1, NaN, ..., NaN].
Buf<double> acf_raw(std::span<const double> x, size_t L);

// Biased autocovariances (divisor n) at lags 0..L (n >= 1).
Buf<double> acovf(std::span<const double> x, size_t L);

// Cross-correlations at lags -L..L (n >= 1, equal lengths); a positive lag
// pairs x_t with the earlier y_{t-l}.
Buf<double> ccf(std::span<const double> x, std::span<const double> y, size_t L);

// acf_raw with Bartlett's bands at the normal quantile chosen by alpha.
struct AcfBands {
    Buf<double> acf, lower, upper;
};
AcfBands acf_with_ci(std::span<const double> x, size_t L, double alpha);

// Partial autocorrelations at lags 0..L (n >= 2, L >= 1). A value that cannot
// be formed is NaN; a breakdown leaves every later lag NaN.
Buf<double> pacf_durbin_levinson(std::span<const double> x, size_t L);
Buf<double> pacf_yule_walker(std::span<const double> x, size_t L);
Buf<double> pacf_burg(std::span<const double> x, size_t L);
Buf<double> pacf_innovations(std::span<const double> x, size_t L);

}  // namespace ms::kernels::tsa
