#include "kernels/tsa/stationarity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/unit.hpp"
#include "kernels/tsa/common.hpp"

namespace ms::kernels::tsa {
namespace {

using RowMat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

constexpr TestResult kNaNPair{kNaN, kNaN};

// The standard normal distribution function over the whole real line.
double norm_cdf(double v) { return 0.5 * std::erfc(-v / std::sqrt(2.0)); }

// Least-squares fit of y on X, with the diagonal element of (X'X)^-1 that
// belongs to column `col`. One factorisation serves the solve and the inverse.
struct LsFit {
    Eigen::VectorXd b;
    Eigen::VectorXd e;
    double ssr;
    double inv_cc;
};

// The fit from the cross products X'X and X'y.
std::optional<LsFit> ls_solve(const RowMat& X, const Eigen::VectorXd& y, const Eigen::MatrixXd& xtx,
                              const Eigen::VectorXd& xty, Eigen::Index col) {
    auto lu = lu_factor(xtx);
    if (!lu) return std::nullopt;
    LsFit f;
    f.b = lu->solve(xty);
    f.e = y - X * f.b;
    f.ssr = 0.0;
    for (Eigen::Index i = 0; i < f.e.size(); ++i) f.ssr += f.e[i] * f.e[i];
    f.inv_cc = lu->solve(Eigen::VectorXd::Unit(xtx.rows(), col))[col];
    return f;
}

std::optional<LsFit> ls_fit(const RowMat& X, const Eigen::VectorXd& y, Eigen::Index col) {
    return ls_solve(X, y, X.transpose() * X, X.transpose() * y, col);
}

// The statistics here have no unit, but the sums of squares of data near
// 1e+-150 overflow or go subnormal, and the pivots of a fit with a constant
// column depend on the unit. Every test therefore reads its series in its
// power-of-two unit, so x and x * 2^k give the same bits.
using core::Unit;
using core::unit_of;

// Writes the lagged level u(x[t-1]) - ref and the lagged differences
// u(x[t-j]) - u(x[t-j-1]), j = 1..lags, into `row`, and returns the
// difference u(x[t]) - u(x[t-1]), u being the unit of the series.
double fill_lag_columns(std::span<const double> x, size_t t, size_t lags, Unit u, double ref, double* row) {
    const double level = u(x[t - 1]);
    row[0] = level - ref;
    double later = level;
    for (size_t j = 1; j <= lags; ++j) {
        const double earlier = u(x[t - j - 1]);
        row[j] = later - earlier;
        later = earlier;
    }
    return u(x[t]) - level;
}

// g[j] = sum over t = j..n-1 of e[t]·e[t-j] for j = 0..L (L < n), each sum
// left to right from 0.0: the family's lag sums with zero means, as e - 0.0
// is e itself, bit for bit (-0.0 included).
std::vector<double> lag_products(std::span<const double> e, size_t L) {
    std::vector<double> g(L + 1);
    lag_sums_parallel(e, 0.0, e, 0.0, 0, L + 1, g.data());
    return g;
}

// gamma0 plus the Bartlett-weighted autocovariances up to lag L (divisor n),
// from the lag products g[0..L].
double bartlett_lrv(const std::vector<double>& g, size_t n, size_t L) {
    const double nd = static_cast<double>(n);
    double lrv = g[0] / nd;
    for (size_t j = 1; j <= L; ++j)
        lrv += 2.0 * (1.0 - static_cast<double>(j) / (static_cast<double>(L) + 1.0)) * (g[j] / nd);
    return lrv;
}

struct DfRow {
    double tau_max, tau_min, tau_star, s0, s1, s2, l0, l1, l2, l3;
};
constexpr DfRow kDfNc{1.51, -19.04, -1.04, 0.6344, 1.2378, 0.032496, 0.4797, 0.93557, -0.06999, 0.033066};
constexpr DfRow kDfC{2.74, -18.83, -1.61, 2.1659, 1.4412, 0.038269, 1.7339, 0.93202, -0.12745, -0.010368};
constexpr DfRow kDfCt{0.7, -16.18, -2.21, 3.2512, 1.6047, 0.049588, 2.5261, 0.61654, -0.37956, -0.060285};

// The Dickey-Fuller test with a constant and no lagged differences.
TestResult adf_c(std::span<const double> x) {
    auto r = df_ols(x, "c", 0);
    if (!r) return kNaNPair;
    return {r->tau, df_pvalue(r->tau, "c")};
}

}  // namespace

Result<std::string_view> normalize_reg(std::string_view reg) {
    if (reg.empty() || reg == "c") return std::string_view("c");
    if (reg == "ct") return std::string_view("ct");
    if (reg == "n" || reg == "nc") return std::string_view("nc");
    return value_error("regression must be one of 'c', 'ct', 'n' (got '" + std::string(reg) + "')");
}

std::optional<DfOlsResult> df_ols(std::span<const double> x, std::string_view reg, size_t lags) {
    const size_t d = reg.size() == 1 ? (reg == "c" ? 1 : 0) : reg.size() == 2 ? (reg == "ct" ? 2 : 0) : 0;
    const size_t n = x.size();
    if (lags >= n || n - lags <= 2) return std::nullopt;
    const size_t nobs = n - (lags + 1);
    const size_t k = lags + 1 + d;
    if (nobs <= k) return std::nullopt;

    // With a constant in the model the level enters relative to the first
    // value: only the intercept changes, while a level far from zero would
    // cancel every digit of the normal equations.
    const Unit u = unit_of(x);
    const double ref = d >= 1 ? u(x[0]) : 0.0;
    RowMat X(nobs, k);
    Eigen::VectorXd y(nobs);
    for (size_t r = 0; r < nobs; ++r) {
        const size_t t = lags + 1 + r;
        double* row = X.row(static_cast<Eigen::Index>(r)).data();
        if (d >= 1) row[0] = 1.0;
        if (d == 2) row[1] = static_cast<double>(t);
        y[r] = fill_lag_columns(x, t, lags, u, ref, row + d);
    }
    auto f = ls_fit(X, y, static_cast<Eigen::Index>(d));
    if (!f) return std::nullopt;
    const double dof = static_cast<double>(nobs - k);
    const double sigma2 = f->ssr / dof;
    const double var = sigma2 * f->inv_cc;
    if (!positive(var)) return std::nullopt;
    DfOlsResult out;
    out.se = std::sqrt(var);
    out.gamma = f->b[static_cast<Eigen::Index>(d)];
    out.tau = out.gamma / out.se;
    out.sigma = std::sqrt(sigma2);
    out.nobs = nobs;
    out.k = k;
    out.resid = std::move(f->e);
    return out;
}

double df_pvalue(double stat, std::string_view reg) {
    const DfRow& c = reg == "nc" ? kDfNc : reg == "ct" ? kDfCt : kDfC;
    if (stat > c.tau_max) return 1.0;
    if (stat < c.tau_min) return 0.0;
    const double sq = stat * stat;
    const double v =
        stat <= c.tau_star ? c.s0 + c.s1 * stat + c.s2 * sq : c.l0 + c.l1 * stat + c.l2 * sq + c.l3 * (sq * stat);
    return norm_cdf(v);
}

Result<TestResult> adf_test(std::span<const double> x, std::string_view reg, std::optional<uint64_t> max_lag) {
    MS_TRY(canon, normalize_reg(reg));
    auto r = df_ols(x, canon, static_cast<size_t>(max_lag.value_or(0)));
    if (!r) return kNaNPair;
    return TestResult{r->tau, df_pvalue(r->tau, canon)};
}

Result<TestResult> pp_test(std::span<const double> x, std::string_view reg) {
    MS_TRY(canon, normalize_reg(reg));
    auto r = df_ols(x, canon, 0);
    if (!r) return kNaNPair;
    const size_t T = static_cast<size_t>(r->resid.size());
    const std::span<const double> e(r->resid.data(), T);
    const double Td = static_cast<double>(T);
    size_t L = static_cast<size_t>(std::ceil(12.0 * std::pow(Td / 100.0, 0.25)));
    L = std::min(std::max<size_t>(L, 1), T - 1);
    const auto g = lag_products(e, L);
    const double gamma0 = g[0] / Td;
    const double lrv = bartlett_lrv(g, T, L);
    if (!positive(r->sigma) || !positive(gamma0) || !positive(lrv)) return kNaNPair;
    const double z = r->tau * std::sqrt(gamma0 / lrv) -
                     r->se * ((lrv - gamma0) * static_cast<double>(r->nobs)) / (2.0 * r->sigma * std::sqrt(lrv));
    if (!std::isfinite(z)) return kNaNPair;
    return TestResult{z, df_pvalue(z, canon)};
}

Result<TestResult> kpss_test(std::span<const double> x, std::string_view reg, std::optional<uint64_t> max_lag) {
    const size_t n = x.size();
    if (n < 3) return kNaNPair;
    const double nd = static_cast<double>(n);
    const bool trend = reg == "ct";
    if (!trend && reg != "c") return value_error("regression must be 'c' or 'ct'");

    // The residuals are taken on the series in its unit, relative to its
    // first value: a level far from zero would cancel the digits of the mean
    // and of the fitted line, and only the intercept moves with it.
    const Unit u = unit_of(x);
    const double ref = u(x[0]);
    std::vector<double> e(n);
    if (!trend) {
        double sum = -0.0;
        for (size_t i = 0; i < n; ++i) {
            e[i] = u(x[i]) - ref;
            sum += e[i];
        }
        const double m = sum / nd;
        for (double& v : e) v -= m;
    } else {
        double St = 0.0, Stt = 0.0, Sx = 0.0, Sxt = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i + 1);
            e[i] = u(x[i]) - ref;
            St += t;
            Stt += t * t;
            Sx += e[i];
            Sxt += e[i] * t;
        }
        const double det = nd * Stt - St * St;
        if (std::fabs(det) < 1e-12) return kNaNPair;
        const double a = (Stt / det) * Sx - (St / det) * Sxt;
        const double b = (nd / det) * Sxt - (St / det) * Sx;
        for (size_t i = 0; i < n; ++i) e[i] -= a + b * static_cast<double>(i + 1);
    }

    size_t L = 0;
    if (max_lag) {
        L = static_cast<size_t>(std::min<uint64_t>(n - 1, *max_lag));
    } else {
        const size_t L0 = std::min(n - 1, static_cast<size_t>(std::trunc(std::pow(nd, 0.2222222222222222))));
        const auto g = lag_products(e, L0);
        double s0 = g[0] / nd, s1 = 0.0;
        for (size_t j = 1; j <= L0; ++j) {
            const double gj = g[j] / (nd * 0.5);
            s0 += gj;
            s1 += static_cast<double>(j) * gj;
        }
        if (positive(s0)) {
            const double ratio = s1 / s0;
            const double bw =
                std::pow(nd, 0.3333333333333333) * (1.1447 * std::pow(ratio * ratio, 0.3333333333333333));
            // Compared as a double first: a huge bandwidth does not fit the integer.
            if (std::isfinite(bw) && bw >= 0.0)
                L = bw >= static_cast<double>(n - 1) ? n - 1 : static_cast<size_t>(std::trunc(bw));
        }
    }
    const double lrv = bartlett_lrv(lag_products(e, L), n, L);
    if (!positive(lrv)) return kNaNPair;

    double S = 0.0, ss = 0.0;
    for (size_t i = 0; i < n; ++i) {
        S += e[i];
        ss += S * S;
    }
    const double eta = ss / (nd * nd * lrv);
    if (!std::isfinite(eta)) return kNaNPair;  // no place in the table

    static constexpr double kCvC[4] = {0.347, 0.463, 0.574, 0.739};
    static constexpr double kCvCt[4] = {0.119, 0.146, 0.176, 0.216};
    static constexpr double kP[4] = {0.10, 0.05, 0.025, 0.01};
    const double* cv = trend ? kCvCt : kCvC;
    double p;
    if (eta < cv[0]) {
        p = kP[0];
    } else if (eta >= cv[3]) {
        p = kP[3];
    } else {
        size_t i = 0;
        while (i < 2 && !(eta < cv[i + 1])) ++i;
        p = kP[i] + (eta - cv[i]) / (cv[i + 1] - cv[i]) * (kP[i + 1] - kP[i]);
    }
    return TestResult{eta, p};
}

StationarityVerdict trend_stationarity_test(std::span<const double> x) {
    auto r = kpss_test(x, "ct", std::nullopt);
    const auto [eta, p] = r.ok() ? std::move(r).value() : kNaNPair;
    return {eta, p, p > 0.05};
}

StationarityVerdict seasonal_diff_test(std::span<const double> x, uint64_t period) {
    const size_t n = x.size();
    if (n <= period) return {kNaN, kNaN, false};
    const size_t s = static_cast<size_t>(period);
    // Differenced in the unit of x, so no difference can overflow.
    const Unit u = unit_of(x);
    std::vector<double> y(n - s);
    for (size_t i = 0; i + s < n; ++i) y[i] = u(x[i + s]) - u(x[i]);
    const auto [stat, p] = adf_c(y);
    return {stat, p, p < 0.05};
}

IntegrationOrder integration_order_test(std::span<const double> x) {
    const size_t n = x.size();
    if (n < 3) return {false, false, kNaN, kNaN};
    const auto [stat0, p0] = adf_c(x);
    const Unit u = unit_of(x);
    std::vector<double> d(n - 1);
    for (size_t i = 0; i + 1 < n; ++i) d[i] = u(x[i + 1]) - u(x[i]);
    const auto [stat1, p1] = adf_c(d);
    const bool i0 = p0 < 0.05;
    return {i0, !i0 && p1 < 0.05, stat0, stat1};
}

std::vector<SeasonalRoot> seasonal_unit_root_test(std::span<const double> x, uint64_t period) {
    const size_t n = x.size();
    std::vector<SeasonalRoot> out;
    // n < 2·period, written so that a huge period cannot wrap.
    if (period > n / 2) return out;
    const auto [s1, p1] = adf_c(x);
    out.push_back({1, s1, p1});
    const int64_t s = static_cast<int64_t>(period);
    if (n > period) {
        const auto [st, p, ok] = seasonal_diff_test(x, period);
        out.push_back({s, st, p});
    }
    if (n > 2 * period) {
        const auto [st, p, ok] = seasonal_diff_test(x, 2 * period);
        out.push_back({2 * s, st, p});
    }
    return out;
}

ZivotAndrews zivot_andrews_test(std::span<const double> x, std::optional<uint64_t> max_lag) {
    const ZivotAndrews none{kNaN, 0, kNaN};
    const size_t n = x.size();
    if (n < 20) return none;
    const uint64_t p64 =
        max_lag
            ? *max_lag
            : std::min<uint64_t>(
                  std::max<uint64_t>(static_cast<uint64_t>(std::floor(std::sqrt(static_cast<double>(n)))), 1), 12);
    // Lag orders of n or more can never fit; refusing them here keeps the sums below from wrapping.
    if (p64 >= n) return none;
    const size_t p = static_cast<size_t>(p64);
    const size_t k = p + 5;
    if (n <= k) return none;
    const size_t trim = static_cast<size_t>(std::floor(0.15 * static_cast<double>(n)));
    if (n - trim <= trim + p + 2) return none;
    const size_t nobs = n - p - 1;
    const double dof = static_cast<double>(nobs) - static_cast<double>(k);

    double best = std::numeric_limits<double>::infinity();
    size_t brk = trim;
    if (dof > 0.0) {
        // The series in its unit, the level relative to its first value (the
        // model holds a constant), as in the Dickey-Fuller regression.
        const Unit u = unit_of(x);
        const double ref = u(x[0]);
        // Only the two break columns change from one candidate to the next.
        RowMat X(nobs, k);
        Eigen::VectorXd y(nobs);
        for (size_t r = 0; r < nobs; ++r) {
            const size_t t = p + 1 + r;
            double* row = X.row(static_cast<Eigen::Index>(r)).data();
            row[0] = 1.0;
            row[1] = static_cast<double>(t);
            y[r] = fill_lag_columns(x, t, p, u, ref, row + 4);
        }
        // The cross products of the columns that do not depend on the break are
        // the same for every candidate; those of the two break columns are
        // summed over the rows after the break (they are zero before it).
        const Eigen::MatrixXd xtx0 = X.transpose() * X;
        const Eigen::VectorXd xty0 = X.transpose() * y;
        Eigen::MatrixXd xtx(k, k);
        Eigen::VectorXd xty(k);
        // A break at p + 1 or earlier leaves every row after it: the level dummy
        // is then the constant and the trend shift the trend less tb times the
        // constant, a singular design whose rounding noise would pass for the
        // smallest statistic. Only breaks with full-rank designs are searched.
        for (size_t tb = std::max(trim, p + 2); tb + trim < n; ++tb) {
            for (size_t r = 0; r < nobs; ++r) {
                const size_t t = p + 1 + r;
                const auto i = static_cast<Eigen::Index>(r);
                X(i, 2) = t > tb ? 1.0 : 0.0;
                X(i, 3) = t > tb ? static_cast<double>(t - tb) : 0.0;
            }
            const auto after = static_cast<Eigen::Index>(std::min(nobs, n - 1 - tb));
            const auto B = X.bottomRows(after);
            const Eigen::MatrixXd cross = B.transpose() * B.middleCols(2, 2);
            xtx = xtx0;
            xtx.middleCols(2, 2) = cross;
            xtx.middleRows(2, 2) = cross.transpose();
            xty = xty0;
            xty.segment(2, 2) = B.middleCols(2, 2).transpose() * y.tail(after);
            auto f = ls_solve(X, y, xtx, xty, 4);
            if (!f) continue;
            const double var = (f->ssr / dof) * f->inv_cc;
            if (!positive(var)) continue;
            const double tstat = f->b[4] / std::sqrt(var);
            if (tstat < best) {
                best = tstat;
                brk = tb;
            }
        }
    }
    // No break could be fitted: there is no statistic, hence no p-value either.
    if (best == std::numeric_limits<double>::infinity()) return {kNaN, static_cast<int64_t>(trim), kNaN};
    const double pv = best < -5.57 ? 0.01 : best < -5.08 ? 0.05 : best < -4.82 ? 0.10 : 0.15;
    return {best, static_cast<int64_t>(brk), pv};
}

VarianceRatio variance_ratio_test(std::span<const double> x, uint64_t lags) {
    const VarianceRatio none{kNaN, kNaN, kNaN};
    const size_t T = x.size();
    if (lags < 2 || lags > T || T - lags < 2) return none;
    const size_t q = static_cast<size_t>(lags);
    const double Td = static_cast<double>(T), qd = static_cast<double>(q);
    // The ratio has no unit; read in its unit, the series keeps both
    // variances normal.
    const Unit u = unit_of(x);
    double sum = -0.0;
    for (const double v : x) sum += u(v);
    const double mu = sum / Td;
    // The squared deviations and the sliding q-sums are two independent
    // left-to-right sums; one loop carries both.
    double ss = 0.0, s = 0.0;
    for (size_t i = 0; i < q; ++i) {
        const double xi = u(x[i]);
        const double d = xi - mu;
        ss += d * d;
        s += xi;
    }
    const double qmu = qd * mu;
    double acc = (s - qmu) * (s - qmu);
    for (size_t t = q; t < T; ++t) {
        const double xt = u(x[t]);
        const double d = xt - mu;
        ss += d * d;
        s = s + xt - u(x[t - q]);
        acc += (s - qmu) * (s - qmu);
    }
    const double var1 = ss / (Td - 1.0);
    if (!positive(var1) || no_spread(var1, mu, x)) return none;  // x's equality holds in any unit
    const double vr = acc / ((1.0 - qd / Td) * ((Td - qd + 1.0) * qd)) / var1;
    const double z = (vr - 1.0) / std::sqrt((qd - 1.0) * 2.0 * (2.0 * qd - 1.0) / (3.0 * qd * Td));
    const double pv = 2.0 * (1.0 - norm_cdf(std::fabs(z)));
    return {vr, z, pv};
}

}  // namespace ms::kernels::tsa
