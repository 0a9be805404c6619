// Python-facing t tests, ANOVA and variance tests: each body calls its kernel
// and lays the result out as a dict with the keys in their fixed order.
#include "frame/frame.hpp"
#include "infer/anova.hpp"
#include "infer/paired.hpp"
#include "infer/ttest.hpp"
#include "infer/var_ci.hpp"
#include "infer/variance_tests.hpp"
#include "lib/infer_dict.hpp"

namespace ms {
namespace {

Dict t1_dict(const infer::TTest1& r) {
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("df", r.df).add("mean", r.mean);
    return d;
}

Dict oneway_dict(const infer::FOneway& r) {
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("df_between", r.df_between).add("df_within", r.df_within);
    return d;
}

Result<Dict> t_test_1samp_np(Slice x, double popmean, Str alternative) {
    MS_TRY(r, infer::t_test_1samp(x, popmean, alternative));
    return t1_dict(r);
}

Result<Dict> t_test_2samp_np(Slice x, Slice y, bool equal_var, Str alternative) {
    MS_TRY(r, infer::t_test_2samp(x, y, equal_var, alternative));
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("df", r.df).add("mean_x", r.mean_x).add("mean_y", r.mean_y).add("equal_var", equal_var);
    return d;
}

Result<Dict> t_test_paired_np(Slice x, Slice y, Str alternative) {
    MS_TRY(r, infer::t_test_paired(x, y, alternative));
    return t1_dict(r);
}

Result<Dict> f_test_oneway_np(const std::vector<View1>& groups) {
    MS_TRY(r, infer::f_test_oneway(groups));
    return oneway_dict(r);
}

Result<Dict> levene_test_np(const std::vector<View1>& groups) {
    MS_TRY(r, infer::levene_test(groups));
    return oneway_dict(r);
}

Result<Dict> bartlett_test_np(const std::vector<View1>& groups) {
    MS_TRY(r, infer::bartlett_test(groups));
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("df", r.df);
    return d;
}

Result<Dict> f_test_var_np(Slice x, Slice y) {
    MS_TRY(r, infer::f_test_var(x, y));
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("df1", r.df1).add("df2", r.df2);
    return d;
}

Result<Dict> var_ci_np(Slice x, double confidence) {
    MS_TRY(r, infer::var_ci(x, confidence));
    Dict d;
    d.add("variance", r.variance).add("ci_lower", r.ci_lower).add("ci_upper", r.ci_upper).add("df", r.df);
    d.add("std", r.std).add("std_ci_lower", r.std_ci_lower).add("std_ci_upper", r.std_ci_upper);
    return d;
}

Family family{
    fn<"t_test_1samp_np", &t_test_1samp_np>(
        "(x, popmean, alternative=\"two-sided\")",
        "One-sample t-test vs `popmean`.\n\n"
        "Python: t_test_1samp_np(x: np.ndarray, popmean: float, alternative: str = \"two-sided\") -> dict\n\n"
        "Returns a dict with keys statistic, pvalue, df, mean."),
    fn<"t_test_2samp_np", &t_test_2samp_np>(
        "(x, y, equal_var, alternative=\"two-sided\")",
        "Two-sample t-test.\n\n"
        "`equal_var=True` performs the pooled-variance Student t-test; `equal_var=False` performs\n"
        "Welch's t-test, which does not assume equal variances.\n\n"
        "Returns a dict with keys statistic, pvalue, df, mean_x, mean_y, equal_var."),
    fn<"f_test_oneway_np", &f_test_oneway_np>(
        "(groups)",
        "One-way ANOVA F-test.\n\n"
        "Null hypothesis: all groups share the same population mean.\n\n"
        "Returns a dict with keys statistic, pvalue, df_between, df_within."),
    fn<"levene_test_np", &levene_test_np>(
        "(groups)",
        "Levene's test for equality of variances.\n\n"
        "Uses the median as the centre of each group (the Brown-Forsythe form), which keeps the test\n"
        "robust to non-normal data.\n\n"
        "Returns a dict with keys statistic, pvalue, df_between, df_within."),
    fn<"f_test_var_np", &f_test_var_np>(
        "(x, y)",
        "F-test for equality of two variances.\n\n"
        "Null hypothesis: var(x) == var(y). The larger sample variance is the numerator and the\n"
        "p-value is two-sided.\n\n"
        "Returns a dict with keys statistic, pvalue, df1, df2."),
    fn<"bartlett_test_np", &bartlett_test_np>(
        "(groups)",
        "Bartlett's test for equality of variances across multiple groups.\n\n"
        "Assumes normal data: it is more sensitive to departures from normality than Levene's test.\n\n"
        "Returns a dict with keys statistic, pvalue, df."),
    fn<"t_test_paired_np", &t_test_paired_np>(
        "(x, y, alternative=\"two-sided\")",
        "Paired-sample t-test.\n\n"
        "Equivalent to a one-sample t-test on `x - y` against `popmean = 0`; use it for before/after\n"
        "or matched-pair designs. `x` and `y` must have the same length.\n\n"
        "Returns a dict with keys statistic, pvalue, df, mean (of differences)."),
    fn<"var_ci_np", &var_ci_np>(
        "(x, confidence=0.95)",
        "Confidence interval for the population variance using the chi-square method.\n\n"
        "Assumes the data are normally distributed. The interval is\n"
        "[(n-1)*s^2 / chi2_upper, (n-1)*s^2 / chi2_lower].\n\n"
        "Parameters\n"
        "----------\n"
        "x : 1-D float64 array\n"
        "    The sample (at least 2 values).\n"
        "confidence : float\n"
        "    Confidence level in (0, 1), default 0.95.\n\n"
        "Returns\n"
        "-------\n"
        "dict with keys variance, ci_lower, ci_upper, df, std, std_ci_lower, std_ci_upper."),
};

}  // namespace
}  // namespace ms
