#include "kernels/tsa/rolling_autocorr.hpp"

#include <cmath>
#include <new>

#include "kernels/tsa/common.hpp"

namespace ms::tsa {

Buf<double> rolling_autocorr_multi(std::span<const double> x, std::span<const uint64_t> lags, size_t w) {
    const size_t rows = x.size() - w + 1, cols = lags.size();
    if (cols != 0 && rows > SIZE_MAX / cols) throw std::bad_alloc();
    Buf<double> out = Buf<double>::zeros(rows * cols);
    for (size_t i = 0; i < rows; ++i) {
        const std::span<const double> win = x.subspan(i, w);
        const double m = mean(win);
        const double ss = sum_sq_dev(win, m);
        double* row = out.data() + i * cols;
        if (ss <= 0.0) {
            for (size_t j = 0; j < cols; ++j) row[j] = kNaN;
            continue;
        }
        for (size_t j = 0; j < cols; ++j) {
            const size_t lag = static_cast<size_t>(lags[j]);
            double s = 0.0;
            for (size_t t = lag; t < w; ++t) s += (win[t] - m) * (win[t - lag] - m);
            row[j] = s / ss;
        }
    }
    return out;
}

Buf<double> rolling_correlation(std::span<const double> x, std::span<const double> y, size_t w) {
    const size_t rows = x.size() - w + 1;
    Buf<double> out(rows);
    for (size_t i = 0; i < rows; ++i) {
        const std::span<const double> wx = x.subspan(i, w), wy = y.subspan(i, w);
        const double mx = mean(wx), my = mean(wy);
        double sxy = 0.0, sxx = 0.0, syy = 0.0;
        for (size_t t = 0; t < w; ++t) {
            const double dx = wx[t] - mx, dy = wy[t] - my;
            sxy += dx * dy;
            sxx += dx * dx;
            syy += dy * dy;
        }
        const double p = sxx * syy;
        out[i] = p == 0.0 ? kNaN : sxy / std::sqrt(p);
    }
    return out;
}

}  // namespace ms::tsa
