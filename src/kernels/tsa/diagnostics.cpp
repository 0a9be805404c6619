#include "kernels/tsa/diagnostics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <string>

#include "core/dist.hpp"
#include "core/sums.hpp"
#include "core/total_order.hpp"
#include "kernels/tsa/acf_pacf.hpp"
#include "kernels/tsa/common.hpp"

namespace ms::kernels::tsa {
namespace {

constexpr TestResult kNaNPair{kNaN, kNaN};

// Autocorrelations rho_1..rho_h (at positions 1..h) with divisor the sum of
// squared deviations, h = min(n - 1, lags); nothing when the test is undefined.
std::optional<Buf<double>> portmanteau_rho(std::span<const double> data, uint64_t lags) {
    const size_t n = data.size();
    if (lags == 0 || n == 0) return std::nullopt;
    const size_t h = static_cast<size_t>(std::min<uint64_t>(n - 1, lags));
    if (h == 0) return std::nullopt;
    const InUnit in(data);
    const std::span<const double> x = in.span();
    const double m = mean(x);
    Buf<double> rho(h + 1);
    lag_sums(x, m, x, m, 0, h + 1, rho.data());
    const double ss = rho[0];
    if (no_spread(ss / static_cast<double>(n), m, x)) return std::nullopt;  // a NaN ss goes on and gives NaN
    for (size_t k = 1; k <= h; ++k) rho[k] /= ss;
    return rho;
}

// True when the regression has an intercept: the one added without exog, or
// an exog column holding one non-zero value in every row.
bool has_constant_column(const View2* exog) noexcept {
    if (!exog) return true;
    for (size_t j = 0; j < exog->cols; ++j) {
        const double c = (*exog)(0, j);
        if (c == 0.0 || !std::isfinite(c)) continue;
        size_t t = 1;
        while (t < exog->rows && (*exog)(t, j) == c) ++t;
        if (t == exog->rows) return true;
    }
    return false;
}

TestResult chi2_test(double q, size_t df) { return {q, 1.0 - core::chi2_cdf(q, static_cast<double>(df))}; }

// The median under the total order: the middle value, or the mean of the two
// middle values. Only the middle of the order is needed, so it is selected
// rather than sorted; the values are those a full sort would put there.
double total_order_median(std::span<const double> x) {
    const size_t n = x.size();
    Buf<uint64_t> keys(n);
    for (size_t i = 0; i < n; ++i) keys[i] = core::total_order_key(x[i]);
    uint64_t* mid = keys.data() + n / 2;
    std::nth_element(keys.begin(), mid, keys.end());
    const double hi = core::from_total_order_key(*mid);
    if (n % 2) return hi;
    const double lo = core::from_total_order_key(*std::max_element(keys.begin(), mid));
    return (lo + hi) * 0.5;
}

}  // namespace

TestResult ljung_box(std::span<const double> x, uint64_t lags) {
    auto rho = portmanteau_rho(x, lags);
    if (!rho) return kNaNPair;
    const size_t n = x.size(), h = rho->size() - 1;
    double acc = 0.0;
    for (size_t k = 1; k <= h; ++k) acc += (*rho)[k] * (*rho)[k] / static_cast<double>(n - k);
    const double dn = static_cast<double>(n);
    return chi2_test((dn * (dn + 2.0)) * acc, h);
}

TestResult box_pierce(std::span<const double> x, uint64_t lags) {
    auto rho = portmanteau_rho(x, lags);
    if (!rho) return kNaNPair;
    const size_t h = rho->size() - 1;
    double acc = 0.0;
    for (size_t k = 1; k <= h; ++k) acc += (*rho)[k] * (*rho)[k];
    return chi2_test(acc * static_cast<double>(x.size()), h);
}

RunsTest runs_test(std::span<const double> x) {
    if (x.size() < 2) return {0, kNaN, kNaN};
    const double med = total_order_median(x);
    // Values equal to the median (and NaN) neither count nor break a run.
    int64_t runs = 1;
    size_t above = 0, below = 0;
    int prev = 0;
    for (double v : x) {
        int sign = v > med ? 1 : v < med ? -1 : 0;
        if (sign == 0) continue;
        (sign > 0 ? above : below) += 1;
        if (prev != 0 && sign != prev) ++runs;
        prev = sign;
    }
    if (above == 0 || below == 0) return {runs, kNaN, kNaN};
    const double n1 = static_cast<double>(above), n2 = static_cast<double>(below);
    const double N = n2 + n1;
    const double a = (n1 + n1) * n2;
    const double var = a * (a - N) / (N * N * (N - 1.0));
    if (var <= 0.0) return {runs, kNaN, kNaN};
    const double mu = a / N + 1.0;
    const double r = static_cast<double>(runs);
    const double d = (r - mu) + (mu < r ? -0.5 : 0.5);  // continuity correction
    const double z = d / std::sqrt(var);
    const double phi = 0.5 * std::erfc(-std::fabs(z) / 1.4142135623730951);
    return {runs, z, 2.0 * (1.0 - phi)};
}

namespace {

// The two sums of the Durbin-Watson ratio (n >= 2) and, in the same pass,
// the largest magnitude (NaN left out), which costs nothing beside the sums.
struct DwSums {
    double num, den, big;
};
DwSums dw_sums(std::span<const double> x) {
    DwSums s{0.0, 0.0 + x[0] * x[0], std::fabs(x[0]) > 0.0 ? std::fabs(x[0]) : 0.0};
    for (size_t t = 1; t < x.size(); ++t) {
        const double d = x[t] - x[t - 1];
        s.num += d * d;
        s.den += x[t] * x[t];
        const double a = std::fabs(x[t]);
        s.big = a > s.big ? a : s.big;
    }
    return s;
}

}  // namespace

double durbin_watson(std::span<const double> x) {
    if (x.size() < 2) return kNaN;
    // The ratio has no unit; squares of data beyond the plain range overflow
    // or lose digits, so such data are summed again in their unit.
    const core::InUnitPass in(x, dw_sums);
    const DwSums& s = in.summary();
    if (s.den <= 0.0) return kNaN;
    return s.num / s.den;
}

std::optional<uint64_t> acf_zero_crossing(std::span<const double> data, uint64_t max_lag) {
    const size_t n = data.size();
    if (n < 2) return std::nullopt;
    const InUnit in(data);
    const std::span<const double> x = in.span();
    const double dn = static_cast<double>(n);
    const double m = mean(x);
    const double c0 = core::sum_sq_dev(x, m) / dn;
    const size_t h = static_cast<size_t>(std::min<uint64_t>(n - 1, max_lag));
    if (no_spread(c0, m, x)) return std::nullopt;
    const double d = dn * c0;
    // Lags are summed in growing batches, so an early crossing costs little.
    constexpr size_t kMaxBatch = 256;
    Buf<double> s(std::min(h, kMaxBatch));
    double prev = 1.0;
    for (size_t k = 1, batch = 8; k <= h; batch = std::min(batch * 2, kMaxBatch)) {
        const size_t kb = std::min(h + 1, k + batch);
        lag_sums(x, m, x, m, k, kb, s.data());
        for (size_t j = k; j < kb; ++j) {
            const double r = s[j - k] / d;
            if (prev > 0.0 && r <= 0.0) return j;
            prev = r;
        }
        k = kb;
    }
    return std::nullopt;
}

Result<TestResult> bg_test(std::span<const double> resid, uint64_t p, const View2* exog) {
    const size_t n = resid.size();
    if (p == 0 || n == 0 || p >= n - 1) return kNaNPair;
    if (exog && exog->rows != n)
        return value_error("exog has " + std::to_string(exog->rows) + " rows but resid has " + std::to_string(n) +
                           " observations");
    // LM has no unit in the residuals nor in the regressors: each is read in
    // its own (one for all of exog's columns).
    const InUnit in(resid);
    const std::span<const double> e = in.span();
    core::Unit ux;
    double big = 0.0;  // the largest |exog| value, NaN left out
    // Design row t: the model's regressors (or an intercept), then e_{t-1}..e_{t-p}
    // with zeros before the sample starts.
    const size_t base = exog ? exog->cols : 1;
    const size_t K = base + static_cast<size_t>(p);
    if (K > SIZE_MAX / K) throw std::bad_alloc();
    Buf<double> row(K);
    auto fill_row = [&](size_t t) {
        if (exog) {
            for (size_t j = 0; j < base; ++j) {
                const double v = (*exog)(t, j), a = std::fabs(v);
                big = a > big ? a : big;
                row[j] = ux(v);
            }
        } else {
            row[0] = 1.0;
        }
        for (size_t j = 1; j <= p; ++j) row[base + j - 1] = t >= j ? e[t - j] : 0.0;
    };
    // Normal equations, upper triangle, accumulated row by row.
    Buf<double> xtx(K * K), xte(K);
    auto accumulate = [&] {
        std::fill(xtx.begin(), xtx.end(), 0.0);
        std::fill(xte.begin(), xte.end(), 0.0);
        for (size_t t = 0; t < n; ++t) {
            fill_row(t);
            for (size_t i = 0; i < K; ++i) {
                const double xi = row[i];
                double* ai = xtx.data() + i * K;
                for (size_t j = i; j < K; ++j) ai[j] += xi * row[j];
                xte[i] += xi * e[t];
            }
        }
    };
    accumulate();
    // exog's magnitude comes with the first pass; regressors beyond the plain
    // range are summed again in their unit.
    if (!core::plain_range(big)) {
        ux = core::unit_of_magnitude(big);
        if (!ux.identity()) accumulate();
    }
    const auto KK = static_cast<Eigen::Index>(K);
    Eigen::MatrixXd A(KK, KK);
    Eigen::VectorXd g(KK);
    for (size_t i = 0; i < K; ++i) {
        for (size_t j = i; j < K; ++j) {
            const auto I = static_cast<Eigen::Index>(i), J = static_cast<Eigen::Index>(j);
            A(I, J) = A(J, I) = xtx[i * K + j];
        }
        g(static_cast<Eigen::Index>(i)) = xte[i];
    }
    auto b = lu_solve(A, g);
    if (!b) return kNaNPair;
    double ssr = 0.0;
    for (size_t t = 0; t < n; ++t) {
        fill_row(t);
        double f = 0.0;
        for (size_t j = 0; j < K; ++j) f += (*b)(static_cast<Eigen::Index>(j)) * row[j];
        const double r = e[t] - f;
        ssr += r * r;
    }
    // R^2 about the mean holds only when the fit can reproduce a constant;
    // otherwise it is taken about zero, so LM never drops below 0.
    const bool centred = has_constant_column(exog);
    const double eb = centred ? mean(e) : 0.0;
    const double sst = core::sum_sq_dev(e, eb);
    // A NaN (or infinite) residual leaves SST NaN: that is no evidence of
    // "no serial correlation", so it stays NaN; only a constant series gives 0.
    if (std::isnan(sst)) return kNaNPair;
    const double dn = static_cast<double>(n);
    const bool flat = centred ? no_spread(sst / dn, eb, e) : !(sst > 0.0);
    const double lm = flat ? 0.0 : (1.0 - ssr / sst) * dn;
    return chi2_test(lm, static_cast<size_t>(p));
}

}  // namespace ms::kernels::tsa
