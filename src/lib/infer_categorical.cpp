// Python-facing categorical tests, proportion tests, the odds ratio and the
// correlation tests and interval: each body calls its kernel and lays the
// result out as a dict with the keys in their fixed order.
#include "frame/frame.hpp"
#include "infer/chi2.hpp"
#include "infer/corr_ci.hpp"
#include "infer/correlation.hpp"
#include "infer/odds_ratio.hpp"
#include "infer/proportion.hpp"
#include "lib/infer_dict.hpp"

namespace ms {
namespace {

Dict chi2_dict(const infer::Chi2Test& r) {
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("df", r.df);
    return d;
}

Dict corr_test_dict(const infer::CorrTest& r) {
    Dict d;
    d.add("correlation", r.correlation).add("statistic", r.statistic).add("pvalue", r.pvalue).add("df", r.df);
    return d;
}

Result<Dict> chi2_gof_np(Slice observed, std::optional<View1> expected, bool sum_check) {
    MS_TRY(r, infer::chi2_gof(observed, expected, sum_check));
    return chi2_dict(r);
}

Result<Dict> chi2_independence_np(const View2& table) {
    MS_TRY(r, infer::chi2_independence(table));
    return chi2_dict(r);
}

Result<Dict> proportion_ztest_np(double count, double nobs, double value, Str alternative) {
    MS_TRY(r, infer::proportion_ztest(count, nobs, value, alternative));
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("proportion", r.proportion);
    return d;
}

Result<Dict> two_proportions_ztest_np(double count1, double nobs1, double count2, double nobs2, Str alternative) {
    MS_TRY(r, infer::two_proportions_ztest(count1, nobs1, count2, nobs2, alternative));
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("proportion1", r.proportion1).add("proportion2", r.proportion2).add("diff", r.diff);
    return d;
}

Result<Dict> odds_ratio_np(const View2& table, double confidence) {
    MS_TRY(r, infer::odds_ratio(table, confidence));
    Dict d;
    d.add("odds_ratio", r.odds_ratio).add("log_odds_ratio", r.log_odds_ratio);
    d.add("ci_lower", r.ci_lower).add("ci_upper", r.ci_upper).add("se", r.se);
    return d;
}

Result<Dict> pearson_corr_test_np(Slice x, Slice y) {
    MS_TRY(r, infer::pearson_corr_test(x, y));
    return corr_test_dict(r);
}

Result<Dict> spearman_corr_test_np(Slice x, Slice y) {
    MS_TRY(r, infer::spearman_corr_test(x, y));
    return corr_test_dict(r);
}

Result<Dict> corr_ci_np(Slice x, Slice y, Str method, double confidence) {
    MS_TRY(r, infer::corr_ci(x, y, method, confidence));
    Dict d;
    d.add("correlation", r.correlation).add("ci_lower", r.ci_lower).add("ci_upper", r.ci_upper);
    d.add("z", r.z).add("se", r.se);
    return d;
}

Family family{
    fn<"chi2_gof_np", &chi2_gof_np>("(observed, expected=None, *, sum_check=True)", ""),
    fn<"chi2_independence_np", &chi2_independence_np>("(table)", ""),
    fn<"proportion_ztest_np", &proportion_ztest_np>(
        "(count, nobs, value=0.5, alternative=\"two-sided\")",
        "One-sample proportion z-test.\n\n"
        "H0: p = value, tested with the normal approximation to the binomial (no continuity\n"
        "correction); the standard error is sqrt(value * (1 - value) / nobs).\n\n"
        "Parameters\n"
        "----------\n"
        "count : float\n"
        "    Number of successes, in [0, nobs].\n"
        "nobs : float\n"
        "    Number of trials, positive and finite.\n"
        "value : float\n"
        "    Hypothesised proportion in (0, 1), default 0.5.\n"
        "alternative : str\n"
        "    'two-sided' (default), 'less' or 'greater'.\n\n"
        "Returns\n"
        "-------\n"
        "dict with keys statistic, pvalue, proportion."),
    fn<"two_proportions_ztest_np", &two_proportions_ztest_np>(
        "(count1, nobs1, count2, nobs2, alternative=\"two-sided\")",
        "Two-sample proportion z-test.\n\n"
        "H0: p1 = p2, with the standard error from the pooled estimate\n"
        "p = (count1 + count2) / (nobs1 + nobs2): sqrt(p * (1 - p) * (1/nobs1 + 1/nobs2)).\n"
        "When the samples hold no successes or no failures at all, the statistic is 0 and the\n"
        "p-value 1.\n\n"
        "Parameters\n"
        "----------\n"
        "count1, nobs1 : float\n"
        "    Successes and trials of the first sample (0 <= count1 <= nobs1, nobs1 > 0).\n"
        "count2, nobs2 : float\n"
        "    Successes and trials of the second sample.\n"
        "alternative : str\n"
        "    'two-sided' (default), 'less' or 'greater'.\n\n"
        "Returns\n"
        "-------\n"
        "dict with keys statistic, pvalue, proportion1, proportion2, diff (p1 - p2)."),
    fn<"pearson_corr_test_np", &pearson_corr_test_np>(
        "(x, y)",
        "Pearson correlation test.\n\n"
        "Null hypothesis: the correlation is zero. t = r * sqrt((n - 2) / (1 - r^2)) with a\n"
        "two-sided Student t p-value on n - 2 degrees of freedom.\n\n"
        "Returns a dict with keys correlation, statistic, pvalue, df."),
    fn<"spearman_corr_test_np", &spearman_corr_test_np>(
        "(x, y)",
        "Spearman rank correlation test.\n\n"
        "The Pearson correlation of the average ranks of x and y, then the same two-sided t test\n"
        "of zero correlation on n - 2 degrees of freedom.\n\n"
        "Returns a dict with keys correlation, statistic, pvalue, df."),
    fn<"corr_ci_np", &corr_ci_np>("(x, y, method=\"pearson\", confidence=0.95)",
                                  "Pearson or Spearman correlation confidence interval via Fisher z-transform.\n\n"
                                  "z = atanh(r) is approximately normal with variance 1/(n-3); the interval\n"
                                  "z +/- q * se is mapped back with tanh.\n\n"
                                  "Parameters\n"
                                  "----------\n"
                                  "x, y : 1-D float64 arrays of the same length (at least 4)\n"
                                  "method : str\n"
                                  "    'pearson' (default) or 'spearman', in any case.\n"
                                  "confidence : float\n"
                                  "    Confidence level in (0, 1), default 0.95.\n\n"
                                  "Returns\n"
                                  "-------\n"
                                  "dict with keys correlation, ci_lower, ci_upper, z, se."),
    fn<"odds_ratio_np", &odds_ratio_np>(
        "(table, confidence=0.95)",
        "Odds ratio and confidence interval for a 2x2 contingency table.\n\n"
        "The table is laid out [[a, b], [c, d]] and OR = (a*d) / (b*c). When a cell is 0, 0.5 is\n"
        "added to every cell. The interval is exp(log(OR) +/- z * SE) with\n"
        "SE = sqrt(1/a + 1/b + 1/c + 1/d).\n\n"
        "Parameters\n"
        "----------\n"
        "table : 2-D float64 array of shape (2, 2), C-contiguous\n"
        "confidence : float\n"
        "    Confidence level in (0, 1), default 0.95.\n\n"
        "Returns\n"
        "-------\n"
        "dict with keys odds_ratio, log_odds_ratio, ci_lower, ci_upper, se."),
};

}  // namespace
}  // namespace ms
