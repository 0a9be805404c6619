// Percentile bootstrap functions. `random_state` absent means seed 0.
#include "frame/frame.hpp"
#include "kernels/resampling/bootstrap.hpp"

namespace ms {
namespace {

namespace k = kernels::resampling;
using Triple = std::tuple<double, double, double>;

Triple triple(k::Estimate e) { return {e.estimate, e.lower, e.upper}; }

double bootstrap_mean(Slice x, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    return k::bootstrap_mean(x, n_resamples, random_state.value_or(0));
}

Triple bootstrap_mean_ci(Slice x, uint64_t n_resamples, double conf, std::optional<uint64_t> random_state) {
    if (x.empty() || n_resamples == 0) return triple(k::kNaNEstimate);
    Buf<double> draws = k::bootstrap_draws(x, k::Stat::Mean, n_resamples, random_state.value_or(0));
    return triple(k::percentile_ci_from_draws(draws.span(), conf));
}

Result<Triple> bootstrap_ci(Slice x, Str stat, uint64_t n_resamples, double conf,
                            std::optional<uint64_t> random_state) {
    if (x.empty() || n_resamples == 0) return triple(k::kNaNEstimate);
    MS_TRY(draws, k::bootstrap_draws_core(x, stat, n_resamples, random_state.value_or(0)));
    return triple(k::percentile_ci_from_draws(draws.span(), conf));
}

using WithDraws = std::tuple<double, double, double, Array1<double>>;

Result<WithDraws> bootstrap_ci_with_draws(Slice x, Str stat, uint64_t n_resamples, double conf,
                                          std::optional<uint64_t> random_state) {
    if (x.empty() || n_resamples == 0) return WithDraws{k::kNaNEstimate.estimate, k::kNaNEstimate.lower,
                                                        k::kNaNEstimate.upper, Array1<double>()};
    MS_TRY(draws, k::bootstrap_draws_core(x, stat, n_resamples, random_state.value_or(0)));
    Buf<double> sorted = Buf<double>::from(draws.span());
    k::Estimate e = k::percentile_ci_from_draws(sorted.span(), conf);
    return WithDraws{e.estimate, e.lower, e.upper, std::move(draws)};
}

double bootstrap_se(Slice x, Str stat, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    return k::bootstrap_se(x, stat, n_resamples, random_state.value_or(0));
}

double bootstrap_var(Slice x, Str stat, uint64_t n_resamples, std::optional<uint64_t> random_state) {
    double se = k::bootstrap_se(x, stat, n_resamples, random_state.value_or(0));
    return se * se;
}

Triple bootstrap_corr(Slice x, Slice y, uint64_t n_resamples, double conf, std::optional<uint64_t> random_state) {
    return triple(k::bootstrap_corr(x, y, n_resamples, conf, random_state.value_or(0)));
}

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
    fn<"bootstrap_var", &bootstrap_var>("(x, stat=\"mean\", n_resamples=1000, random_state=None)",
                                        "Bootstrap variance (squared standard error) of 'mean', 'median' or 'std'."),
};

}  // namespace
}  // namespace ms
