#include "kernels/tsa/acf_pacf.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/spread.hpp"
#include "core/sums.hpp"
#include "kernels/tsa/common.hpp"

// The lag sums are the hot loop of the family: on x86-64 glibc they are also
// compiled for AVX2 and picked at load time (an ifunc). Lanes stay
// independent and contraction stays off, so both versions give the same bits.
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && defined(__GNUC__)
#define MS_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MS_CLONES
#endif

namespace ms::kernels::tsa {
namespace {

// Time steps per pass: their deviations stay in L1 while every block of lags
// runs over them.
constexpr size_t kChunk = 1024;

// Four lanes of doubles side by side (a GCC/Clang vector extension, lowered to
// whatever registers the target has). Lanes never mix, so each is its own sum.
typedef double V4 __attribute__((vector_size(32)));

// Adds the terms of time steps [tb, te) to the lags lag0 .. lag0 + B - 1. Lane
// q of acc holds lag lag0 + B - 1 - q, so neighbouring lanes read neighbouring
// y deviations; each lane still adds its own terms in increasing t, so many
// lags progress at once without reordering any sum. dx[t - xb] and dy[u - yb]
// are the deviations of x_t and y_u.
template <size_t B>  // a multiple of 4
[[gnu::always_inline]] inline void lag_block(const double* dx, size_t xb, const double* dy, size_t yb, size_t tb,
                                             size_t te, size_t lag0, double* acc) {
    const size_t full = lag0 + B - 1;  // from here on every lane has a term
    size_t t = std::max(tb, lag0);
    for (; t < te && t < full; ++t) {
        const double a = dx[t - xb];
        for (size_t q = 0; q < B; ++q) {
            const size_t lag = full - q;
            if (t >= lag) acc[q] += a * dy[t - lag - yb];
        }
    }
    V4 r[B / 4];
    std::memcpy(r, acc, sizeof r);
    for (; t < te; ++t) {
        const double a = dx[t - xb];
        const V4 av = {a, a, a, a};
        const double* p = dy + (t - full - yb);
        for (size_t v = 0; v < B / 4; ++v) {
            V4 yv;
            std::memcpy(&yv, p + 4 * v, sizeof yv);
            r[v] += av * yv;
        }
    }
    std::memcpy(acc, r, sizeof r);
}

// Lags per block, largest first. The lag range is padded up to whole vectors
// (see lag_sums), so every block is vectorised.
size_t block_size(size_t remaining) {
    for (size_t b = 32; b > 4; b /= 2)
        if (remaining >= b) return b;
    return 4;
}

// The padded lag count: a multiple of 4, 8 or 16, so that few blocks cover it.
size_t padded(size_t count) {
    const size_t m = count <= 4 ? 4 : count <= 8 ? 8 : 16;
    return (count + m - 1) / m * m;
}

[[gnu::always_inline]] inline void run_block(size_t b, const double* dx, size_t xb, const double* dy, size_t yb,
                                             size_t tb, size_t te, size_t lag0, double* acc) {
    switch (b) {
        case 32: lag_block<32>(dx, xb, dy, yb, tb, te, lag0, acc); break;
        case 16: lag_block<16>(dx, xb, dy, yb, tb, te, lag0, acc); break;
        case 8: lag_block<8>(dx, xb, dy, yb, tb, te, lag0, acc); break;
        default: lag_block<4>(dx, xb, dy, yb, tb, te, lag0, acc); break;
    }
}

}  // namespace

MS_CLONES void lag_sums(std::span<const double> x, double mx, std::span<const double> y, double my, size_t k0,
                        size_t k1, double* out) {
    const size_t n = x.size();
    for (size_t k = k0; k < k1; ++k) out[k - k0] = 0.0;
    const size_t kend = std::min(k1, n);  // lags from n on have empty sums
    if (k0 >= kend) return;
    // Extra lanes past kend only fill the last vectors; their sums are dropped.
    const size_t count = padded(kend - k0), maxlag = k0 + count - 1;
    Buf<double> acc = Buf<double>::zeros(count);
    Buf<double> dx(std::min(n, kChunk)), dy(std::min(n, kChunk + maxlag));
    for (size_t t0 = k0; t0 < n; t0 += kChunk) {
        const size_t t1 = std::min(n, t0 + kChunk);
        const size_t yb = t0 > maxlag ? t0 - maxlag : 0;  // earliest y any lag pairs with
        for (size_t u = yb; u < t1 - k0; ++u) dy[u - yb] = y[u] - my;
        for (size_t t = t0; t < t1; ++t) dx[t - t0] = x[t] - mx;
        for (size_t i = 0; i < count;) {
            const size_t b = block_size(count - i);
            run_block(b, dx.data(), t0, dy.data(), yb, t0, t1, k0 + i, acc.data() + i);
            i += b;
        }
    }
    // Blocks keep their lanes in reverse lag order.
    for (size_t i = 0; i < count;) {
        const size_t b = block_size(count - i);
        for (size_t q = 0; q < b; ++q)
            if (i + q < kend - k0) out[i + q] = acc[i + b - 1 - q];
        i += b;
    }
}

namespace {

Buf<double> first_one_then_nan(size_t L) {
    Buf<double> r(L + 1, kNaN);
    r[0] = 1.0;
    return r;
}

}  // namespace

Buf<double> acf_raw(std::span<const double> data, size_t L) {
    if (L == 0 || core::all_equal(data.data(), data.size())) return first_one_then_nan(L);
    const InUnit in(data);  // correlations have no unit
    const std::span<const double> x = in.span();
    const double dn = static_cast<double>(x.size());
    const double m = mean(x);
    Buf<double> r(L + 1);
    lag_sums(x, m, x, m, 0, L + 1, r.data());
    const double c0 = r[0] / dn;
    if (!(c0 > 0.0)) return first_one_then_nan(L);  // also a NaN c0: NaN at every lag
    const double d = c0 * dn;
    r[0] = 1.0;
    for (size_t k = 1; k <= L; ++k) r[k] /= d;
    return r;
}

Buf<double> acovf(std::span<const double> data, size_t L) {
    const InUnit in(data);
    const std::span<const double> x = in.span();
    const double dn = static_cast<double>(x.size());
    const double m = mean(x);
    Buf<double> c(L + 1);
    lag_sums(x, m, x, m, 0, L + 1, c.data());
    for (double& v : c) v /= dn;
    // Equal values covary at no lag, whether or not their mean rounds.
    if (no_spread(c[0], m, x)) std::fill(c.begin(), c.end(), 0.0);
    core::unscale(c.data(), c.size(), in.unit(), 2);
    return c;
}

Buf<double> ccf(std::span<const double> xdata, std::span<const double> ydata, size_t L) {
    // A correlation has no unit in either series: each is read in its own.
    const InUnit xin(xdata), yin(ydata);
    const std::span<const double> x = xin.span(), y = yin.span();
    const double dn = static_cast<double>(x.size());
    const double mx = mean(x), my = mean(y);
    const double vx = core::sum_sq_dev(x, mx) / dn, vy = core::sum_sq_dev(y, my) / dn;
    Buf<double> out(2 * L + 1, kNaN);
    if (no_spread(vx, mx, x) || no_spread(vy, my, y)) return out;
    const double d = (std::sqrt(vx) * dn) * std::sqrt(vy);
    // Lags 0..L at positions L..2L; lags -1..-L pair y_t with the earlier x,
    // that is the same sums with the roles swapped, written after them.
    lag_sums(x, mx, y, my, 0, L + 1, out.data() + L);
    Buf<double> neg(L);
    lag_sums(y, my, x, mx, 1, L + 1, neg.data());
    for (size_t j = 1; j <= L; ++j) out[L - j] = neg[j - 1];
    for (double& v : out) v /= d;
    return out;
}

AcfBands acf_with_ci(std::span<const double> x, size_t L, double alpha) {
    AcfBands b{acf_raw(x, L), Buf<double>(L + 1), Buf<double>(L + 1)};
    const double z = alpha <= 0.01 ? 2.576 : alpha <= 0.05 ? 1.96 : 1.645;
    const double dn = static_cast<double>(x.size());
    b.lower[0] = b.upper[0] = 1.0;
    double v = 1.0;  // Bartlett: 1 + 2·(r_1² + ... + r_{k-1}²)
    for (size_t k = 1; k <= L; ++k) {
        if (k >= 2) v += 2.0 * (b.acf[k - 1] * b.acf[k - 1]);
        const double h = z * std::sqrt(v / dn);
        b.lower[k] = b.acf[k] - h;
        b.upper[k] = b.acf[k] + h;
    }
    return b;
}

Buf<double> pacf_durbin_levinson(std::span<const double> x, size_t L) {
    Buf<double> r = acf_raw(x, L);
    Buf<double> out = first_one_then_nan(L);
    if (std::isnan(r[1])) return out;
    out[1] = r[1];
    Buf<double> a(L), prev(L);  // AR coefficients of the current order
    a[0] = r[1];
    double v = 1.0 - r[1] * r[1];  // prediction-error variance
    if (!positive(v)) return out;
    for (size_t k = 1; k < L; ++k) {
        double num = 0.0;
        for (size_t j = 0; j < k; ++j) num += a[j] * r[k - j];
        const double phi = (r[k + 1] - num) / v;
        if (!std::isfinite(phi)) return out;
        std::copy(a.data(), a.data() + k, prev.data());
        for (size_t j = 0; j < k; ++j) a[j] = prev[j] - phi * prev[k - 1 - j];
        a[k] = phi;
        v = v * (1.0 - phi * phi);
        out[k + 1] = phi;
        if (!positive(v)) return out;
    }
    return out;
}

Buf<double> pacf_yule_walker(std::span<const double> x, size_t L) {
    Buf<double> r = acf_raw(x, L);
    Buf<double> out(L + 1);
    out[0] = 1.0;
    for (size_t k = 1; k <= L; ++k) {
        const auto K = static_cast<Eigen::Index>(k);
        Eigen::MatrixXd R(K, K);
        Eigen::VectorXd b(K);
        for (Eigen::Index i = 0; i < K; ++i) {
            for (Eigen::Index j = 0; j < K; ++j) R(i, j) = r[static_cast<size_t>(std::abs(i - j))];
            b(i) = r[static_cast<size_t>(i) + 1];
        }
        auto phi = lu_solve(R, b);
        out[k] = phi ? (*phi)(K - 1) : kNaN;  // a singular order is NaN; later orders still run
    }
    return out;
}

Buf<double> pacf_burg(std::span<const double> data, size_t L) {
    Buf<double> out = first_one_then_nan(L);
    if (core::all_equal(data.data(), data.size())) return out;
    const InUnit in(data);
    const std::span<const double> x = in.span();
    const size_t n = x.size();
    const double m = mean(x);
    // Forward and backward prediction errors; both start as the deviations.
    Buf<double> f(n), b(n);
    double num = 0.0, den = 0.0;
    for (size_t t = 0; t < n; ++t) {
        f[t] = b[t] = x[t] - m;
        if (t >= 1) {
            num += f[t] * b[t - 1];
            den += f[t] * f[t] + b[t - 1] * b[t - 1];
        }
    }
    for (size_t s = 1;; ++s) {
        num = num + num;
        if (den == 0.0 || !std::isfinite(den)) return out;
        const double k = num / den;
        out[s] = k;
        if (s == L) return out;
        // One pass updates both error sequences for stage s (from their values
        // before it, so the old b_{t-1} is carried along) and sums the terms of
        // stage s + 1, which starts one step later.
        num = den = 0.0;
        double b_old = b[s - 1], b_new = 0.0;
        for (size_t t = s; t < n; ++t) {
            const double ft = f[t], bt = b[t];
            const double nf = ft - k * b_old, nb = b_old - k * ft;
            f[t] = nf;
            b[t] = nb;
            if (t > s) {
                num += nf * b_new;
                den += nf * nf + b_new * b_new;
            }
            b_old = bt;
            b_new = nb;
        }
    }
}

Buf<double> pacf_innovations(std::span<const double> x, size_t L) {
    Buf<double> r = acf_raw(x, L);
    Buf<double> out = first_one_then_nan(L);
    Buf<double> v(L + 1, 1.0);
    // theta_{m,i} for i = 1..m, row m stored from m(m-1)/2.
    if (L > SIZE_MAX / (L + 1)) throw std::bad_alloc();
    Buf<double> theta = Buf<double>::zeros(L * (L + 1) / 2);
    auto th = [&](size_t m, size_t i) -> double& { return theta[m * (m - 1) / 2 + (i - 1)]; };
    for (size_t m = 1; m <= L; ++m) {
        for (size_t k = 0; k < m; ++k) {
            double acc = r[m - k];
            for (size_t j = 0; j < k; ++j) acc -= (th(k, k - j) * th(m, m - j)) * v[j];
            th(m, m - k) = acc / v[k];
        }
        double vm = r[0];
        for (size_t j = 0; j < m; ++j) vm -= (th(m, m - j) * th(m, m - j)) * v[j];
        v[m] = vm;
        const double t1 = th(m, 1);
        out[m] = std::fabs(t1) > 1.0 ? kNaN : t1;
        if (!positive(vm)) return out;
    }
    return out;
}

}  // namespace ms::kernels::tsa
