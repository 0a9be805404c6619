#include "kernels/tsa/common.hpp"

#include <algorithm>
#include <atomic>
#include <new>

#include "core/parallel.hpp"
#include "kernels/tsa/acf_pacf.hpp"

namespace ms::kernels::tsa {

namespace {
// lag_sums' widest block: a range of whole blocks keeps every lane busy.
constexpr size_t kLagBlock = 32;
// Lag-sum terms (a product and an add each) one thread does in a millisecond.
constexpr double kTermsPerMs = 1e7;
}  // namespace

void lag_sums_parallel(std::span<const double> x, double mx, std::span<const double> y, double my, size_t k0,
                       size_t k1, double* out) {
    const size_t n = x.size();
    const size_t kend = std::min(k1, n);  // lags from n on have empty sums
    const size_t lags = kend > k0 ? kend - k0 : 0;
    const size_t blocks = (lags + kLagBlock - 1) / kLagBlock;
    const unsigned team = core::team_for(static_cast<double>(n) * static_cast<double>(lags), kTermsPerMs, blocks);
    if (team <= 1) return lag_sums(x, mx, y, my, k0, k1, out);
    // lag_sums allocates its scratch; nothing may throw on a worker, so a
    // failed allocation is carried back to the calling thread.
    std::atomic<bool> failed{false};
    core::run_ranges(team, blocks, 2, [&](size_t b0, size_t b1, unsigned) {
        const size_t lo = k0 + b0 * kLagBlock, hi = std::min(kend, k0 + b1 * kLagBlock);
        try {
            lag_sums(x, mx, y, my, lo, hi, out + (lo - k0));
        } catch (...) {
            failed.store(true, std::memory_order_relaxed);
        }
    });
    if (failed.load(std::memory_order_relaxed)) throw std::bad_alloc();
    std::fill(out + lags, out + (k1 - k0), 0.0);
}

std::optional<Eigen::PartialPivLU<Eigen::MatrixXd>> lu_factor(const Eigen::MatrixXd& a) {
    Eigen::PartialPivLU<Eigen::MatrixXd> lu(a);
    const Eigen::MatrixXd& f = lu.matrixLU();
    for (Eigen::Index i = 0; i < f.rows(); ++i)
        if (f(i, i) == 0.0) return std::nullopt;
    return lu;
}

std::optional<Eigen::VectorXd> lu_solve(const Eigen::MatrixXd& a, const Eigen::VectorXd& b) {
    auto lu = lu_factor(a);
    if (!lu) return std::nullopt;
    return Eigen::VectorXd(lu->solve(b));
}

}  // namespace ms::kernels::tsa
