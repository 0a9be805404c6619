// Bootstrap intervals (percentile, studentized, BCa, Bayesian), block
// bootstraps, permutation tests and jackknife estimators. `random_state`
// absent means seed 0.
#include "frame/frame.hpp"
#include "kernels/resampling/bootstrap.hpp"
#include "kernels/resampling/intervals.hpp"
#include "kernels/resampling/jackknife.hpp"
#include "kernels/resampling/permutation.hpp"

namespace ms {
namespace {

namespace k = kernels::resampling;
using Triple = std::tuple<double, double, double>;
using Pair = std::tuple<double, double>;

Triple triple(k::Estimate e) { return {e.estimate, e.lower, e.upper}; }
Triple triple(k::JackknifeResult r) { return {r.estimate, r.bias, r.se}; }

double bootstrap_mean(Slice x, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    return k::bootstrap_mean(x, n_resamples, random_state.value_or(0));
}

Triple bootstrap_mean_ci(Slice x, uint64_t n_resamples, double conf, std::optional<uint64_t> random_state) {
    if (x.empty() || n_resamples == 0) return triple(k::kNaNEstimate);
    return triple(k::bootstrap_ci(x, k::Stat::Mean, n_resamples, conf, random_state.value_or(0)));
}

Result<k::Stat> percentile_stat(Str stat) {
    auto st = k::percentile_stat(stat);
    if (!st) return value_error(std::string(k::kUnsupportedStat));
    return *st;
}

Result<Triple> bootstrap_ci(Slice x, Str stat, uint64_t n_resamples, double conf,
                            std::optional<uint64_t> random_state) {
    if (x.empty() || n_resamples == 0) return triple(k::kNaNEstimate);
    MS_TRY(st, percentile_stat(stat));
    return triple(k::bootstrap_ci(x, st, n_resamples, conf, random_state.value_or(0)));
}

using WithDraws = std::tuple<double, double, double, Array1<double>>;

Result<WithDraws> bootstrap_ci_with_draws(Slice x, Str stat, uint64_t n_resamples, double conf,
                                          std::optional<uint64_t> random_state) {
    if (x.empty() || n_resamples == 0)
        return WithDraws{k::kNaNEstimate.estimate, k::kNaNEstimate.lower, k::kNaNEstimate.upper, Array1<double>()};
    MS_TRY(st, percentile_stat(stat));
    Buf<double> draws;
    k::Estimate e = k::bootstrap_ci(x, st, n_resamples, conf, random_state.value_or(0), &draws);
    return WithDraws{e.estimate, e.lower, e.upper, std::move(draws)};
}

double bootstrap_se(Slice x, Str stat, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    return k::bootstrap_se(x, stat, n_resamples, random_state.value_or(0));
}

double bootstrap_var(Slice x, Str stat, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    return k::bootstrap_var(x, stat, n_resamples, random_state.value_or(0));
}

Triple bootstrap_corr(Slice x, Slice y, uint64_t n_resamples, double conf, std::optional<uint64_t> random_state) {
    return triple(k::bootstrap_corr(x, y, n_resamples, conf, random_state.value_or(0)));
}

Triple bootstrap_t_ci_mean(Slice x, uint64_t n_resamples, double conf, std::optional<uint64_t> random_state) {
    return triple(k::bootstrap_t_ci_mean(x, n_resamples, conf, random_state.value_or(0)));
}

Result<Triple> bootstrap_bca_ci(Slice x, Str stat, uint64_t n_resamples, double conf,
                                std::optional<uint64_t> random_state) {
    MS_TRY(e, k::bootstrap_bca_ci(x, stat, n_resamples, conf, random_state.value_or(0)));
    return triple(e);
}

Result<Triple> bayesian_bootstrap_ci(Slice x, Str stat, uint64_t n_resamples, double conf,
                                     std::optional<uint64_t> random_state) {
    MS_TRY(e, k::bayesian_bootstrap_ci(x, stat, n_resamples, conf, random_state.value_or(0)));
    return triple(e);
}

template <k::BlockScheme S>
Triple block_ci(Slice x, uint64_t block_len, uint64_t n_resamples, double conf,
                std::optional<uint64_t> random_state) {
    return triple(k::block_bootstrap_mean_ci(x, block_len, n_resamples, conf, random_state.value_or(0), S));
}

Result<Pair> permutation_corr_test(Slice x, Slice y, uint64_t n_permutations, Str alternative,
                                   std::optional<uint64_t> random_state) {
    MS_TRY(rp, k::permutation_corr_test(x, y, n_permutations, alternative, random_state.value_or(0)));
    return Pair{rp.statistic, rp.pvalue};
}

Result<Pair> permutation_mean_diff_test(Slice x, Slice y, uint64_t n_permutations, Str alternative,
                                        std::optional<uint64_t> random_state) {
    MS_TRY(dp, k::permutation_mean_diff_test(x, y, n_permutations, alternative, random_state.value_or(0)));
    return Pair{dp.statistic, dp.pvalue};
}

Array1<double> influence_mean(Slice x) { return k::influence_mean(x); }
Triple jackknife_mean(Slice x) { return triple(k::jackknife_mean(x)); }
Triple jackknife_mean_ci(Slice x, double conf) { return triple(k::jackknife_mean_ci(x, conf)); }
Triple delete_d_jackknife_mean(Slice x, uint64_t d) { return triple(k::delete_d_jackknife_mean(x, d)); }

double jackknife_after_bootstrap_se_mean(Slice x, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    return k::jackknife_after_bootstrap_se_mean(x, n_resamples, random_state.value_or(0));
}

constexpr const char* kBlockSig = "(x, block_len, n_resamples=1000, conf=0.95, random_state=None)";
constexpr const char* kPermSig = "(x, y, n_permutations=1000, alternative=\"two-sided\", random_state=None)";

Family family{
    fn<"bootstrap_mean", &bootstrap_mean>("(x, n_resamples, random_state=None)",
                                          "Bootstrap estimate of the mean: the mean of the replicate means."),
    fn<"bootstrap_mean_ci", &bootstrap_mean_ci>(
        "(x, n_resamples, conf=0.95, random_state=None)",
        "Percentile bootstrap CI for the mean: returns (estimate, ci_lower, ci_upper)."),
    fn<"bootstrap_ci", &bootstrap_ci>(
        "(x, stat=\"mean\", n_resamples=1000, conf=0.95, random_state=None)",
        "Percentile bootstrap CI for 'mean', 'median' or 'std': returns (estimate, ci_lower, ci_upper)."),
    fn<"bootstrap_ci_with_draws", &bootstrap_ci_with_draws>(
        "(x, stat=\"mean\", n_resamples=1000, conf=0.95, random_state=None)",
        "Percentile bootstrap CI that also returns the bootstrap draws.\n\n"
        "Returns (estimate, ci_lower, ci_upper, draws): estimate and interval equal those of\n"
        "bootstrap_ci for the same arguments, and draws holds the n_resamples replicate\n"
        "statistics in generation order."),
    fn<"bootstrap_corr", &bootstrap_corr>(
        "(x, y, n_resamples, conf=0.95, random_state=None)",
        "Paired bootstrap CI for the Pearson correlation: returns (estimate, ci_lower, ci_upper)."),
    fn<"bootstrap_se", &bootstrap_se>("(x, stat=\"mean\", n_resamples=1000, random_state=None)",
                                      "Bootstrap standard error of 'mean', 'median' or 'std'."),
    fn<"bootstrap_var", &bootstrap_var>(
        "(x, stat=\"mean\", n_resamples=1000, random_state=None)",
        "Bootstrap variance (squared standard error) of 'mean', 'median' or 'std'."),
    fn<"bootstrap_t_ci_mean", &bootstrap_t_ci_mean>("(x, n_resamples=1000, conf=0.95, random_state=None)",
                                                    "Studentized (bootstrap-t) CI for the mean."),
    fn<"bootstrap_bca_ci", &bootstrap_bca_ci>(
        "(x, stat=\"mean\", n_resamples=1000, conf=0.95, random_state=None)",
        "BCa (bias-corrected and accelerated) bootstrap CI for simple stats."),
    fn<"bayesian_bootstrap_ci", &bayesian_bootstrap_ci>(
        "(x, stat=\"mean\", n_resamples=1000, conf=0.95, random_state=None)",
        "Bayesian bootstrap CI with flat Dirichlet(1,...,1) weights over the observations."),
    fn<"moving_block_bootstrap_mean_ci", &block_ci<k::BlockScheme::Moving>>(
        kBlockSig, "Moving block bootstrap CI for the mean of a 1D time series."),
    fn<"circular_block_bootstrap_mean_ci", &block_ci<k::BlockScheme::Circular>>(
        kBlockSig, "Circular block bootstrap CI for the mean of a 1D time series."),
    fn<"stationary_bootstrap_mean_ci", &block_ci<k::BlockScheme::Stationary>>(
        kBlockSig, "Stationary bootstrap CI for the mean of a 1D time series."),
    fn<"permutation_corr_test", &permutation_corr_test>(
        kPermSig,
        "Permutation test for correlation - OPTIMIZED\n\n"
        "Returns (r, p). Permutations run in parallel; each worker keeps one copy of the data and one\n"
        "working buffer for all its permutations, and recomputes only the moments of the shuffled side."),
    fn<"permutation_mean_diff_test", &permutation_mean_diff_test>(
        kPermSig,
        "Permutation test for mean difference - OPTIMIZED\n\n"
        "Returns (mean(x) - mean(y), p). Permutations run in parallel; each worker keeps one copy of the\n"
        "pooled sample and one working buffer for all its permutations, so no permutation allocates."),
    fn<"influence_mean", &influence_mean>("(x)", "Influence values for the mean (leave-one-out influence)."),
    fn<"jackknife_mean", &jackknife_mean>("(x)",
                                          "Jackknife mean: returns (jackknife_estimate, bias, standard_error)"),
    fn<"jackknife_mean_ci", &jackknife_mean_ci>(
        "(x, conf=0.95)", "Jackknife mean with simple percentile CI over leave-one-out estimates"),
    fn<"delete_d_jackknife_mean", &delete_d_jackknife_mean>(
        "(x, d)", "Delete-d jackknife for the mean using contiguous blocks of size `d`."),
    fn<"jackknife_after_bootstrap_se_mean", &jackknife_after_bootstrap_se_mean>(
        "(x, n_resamples=200, random_state=None)",
        "Jackknife-after-bootstrap standard error of the bootstrap SE of the mean.\n\n"
        "An expensive diagnostic: for each delete-1 subsample it recomputes a bootstrap SE from\n"
        "n_resamples resamples, then jackknifes those SEs. Keep n_resamples modest."),
};

}  // namespace
}  // namespace ms
