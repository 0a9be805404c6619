// Python-facing rank, Kolmogorov-Smirnov and normality tests: each body calls
// its kernel and lays the result out as a dict with the keys in their fixed order.
#include "frame/frame.hpp"
#include "infer/ks.hpp"
#include "infer/mann_whitney.hpp"
#include "infer/normality.hpp"
#include "lib/infer_dict.hpp"

namespace ms {
namespace {

Result<Dict> mann_whitney_u_np(Slice x, Slice y, Str alternative) {
    MS_TRY(r, infer::mann_whitney_u(x, y, alternative));
    return test_dict(r.statistic, r.pvalue);
}

Result<Dict> ks_1samp_np(Slice x, Str cdf, const std::vector<double>& params, Str alternative) {
    MS_TRY(r, infer::ks_1samp(x, cdf, params, alternative));
    return test_dict(r.statistic, r.pvalue);
}

Result<Dict> jarque_bera_np(Slice x) {
    MS_TRY(r, infer::jarque_bera(x));
    Dict d = test_dict(r.statistic, r.pvalue);
    d.add("skewness", r.skewness).add("kurtosis", r.kurtosis);
    return d;
}

Result<Dict> anderson_darling_np(Slice x) {
    MS_TRY(a2, infer::anderson_darling(x));
    Dict d;
    d.add("statistic", a2);
    return d;
}

Result<Dict> normality_summary_np(Slice x) {
    MS_TRY(r, infer::normality_summary(x));
    Dict d;
    d.add("skewness", r.skewness).add("kurtosis", r.kurtosis).add("excess_kurtosis", r.excess_kurtosis);
    d.add("jb_statistic", r.jb_statistic).add("jb_pvalue", r.jb_pvalue).add("ad_statistic", r.ad_statistic);
    d.add("n", r.n);
    return d;
}

Family family{
    fn<"mann_whitney_u_np", &mann_whitney_u_np>("(x, y, alternative=\"two-sided\")"),
    fn<"ks_1samp_np", &ks_1samp_np>("(x, cdf, params, alternative=\"two-sided\")"),
    fn<"jarque_bera_np", &jarque_bera_np>(
        "(x)",
        "Jarque-Bera normality test.\n\n"
        "Tests whether the sample skewness and kurtosis match those of a normal distribution:\n"
        "JB = n/6 * (S^2 + (K - 3)^2 / 4), with a chi-square (2 df) p-value.\n\n"
        "Returns a dict with keys statistic, pvalue, skewness, kurtosis."),
    fn<"anderson_darling_np", &anderson_darling_np>(
        "(x)",
        "Anderson-Darling normality test.\n\n"
        "Computes the Anderson-Darling statistic for normality against a normal distribution\n"
        "fitted by the sample mean and standard deviation, adjusted for small samples by\n"
        "(1 + 4/n - 25/n^2). No p-value is given.\n\n"
        "Returns a dict with the key statistic."),
    fn<"normality_summary_np", &normality_summary_np>(
        "(x)",
        "Moments and normality tests of one sample.\n\n"
        "skewness = m3 / m2^1.5 and kurtosis = m4 / m2^2 from the population moments;\n"
        "excess_kurtosis = kurtosis - 3; the Jarque-Bera statistic n/6 * (skewness^2 +\n"
        "excess_kurtosis^2 / 4) with its chi-square (2 df) p-value; and the small-sample\n"
        "adjusted Anderson-Darling statistic (no p-value).\n\n"
        "Returns a dict with keys skewness, kurtosis, excess_kurtosis, jb_statistic, jb_pvalue,\n"
        "ad_statistic, n."),
};

}  // namespace
}  // namespace ms
