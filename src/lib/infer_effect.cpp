// Python-facing effect sizes, the mean-difference interval and p-value
// adjustment: each body calls its kernel and lays out the result.
#include "frame/frame.hpp"
#include "infer/effect.hpp"
#include "infer/effect_nonparam.hpp"
#include "infer/p_adjust.hpp"

namespace ms {
namespace {

Result<double> cohens_d_2samp_np(Slice x, Slice y, bool pooled) { return infer::cohens_d_2samp(x, y, pooled); }

Result<double> hedges_g_2samp_np2(Slice x, Slice y, bool pooled) { return infer::hedges_g_2samp(x, y, pooled); }

Result<std::tuple<double, double>> mean_diff_ci_np(Slice x, std::optional<View1> y, double alpha, bool equal_var) {
    MS_TRY(r, infer::mean_diff_ci(x, y, alpha, equal_var));
    return std::tuple<double, double>{r.lower, r.upper};
}

Result<Dict> cliffs_delta_np(Slice x, Slice y) {
    MS_TRY(r, infer::cliffs_delta(x, y));
    Dict d;
    d.add("delta", r.delta).add("dominance_greater", r.greater).add("dominance_less", r.less);
    d.add("magnitude", std::string(r.magnitude));
    return d;
}

Result<Dict> rank_biserial_np(Slice x, Slice y) {
    MS_TRY(r, infer::rank_biserial(x, y));
    Dict d;
    d.add("rank_biserial", r.r).add("u_statistic", r.u_statistic);
    return d;
}

Result<Dict> anova_effect_sizes_np(const std::vector<View1>& groups) {
    MS_TRY(r, infer::anova_effect_sizes(groups));
    Dict d;
    d.add("eta_squared", r.eta_squared).add("omega_squared", r.omega_squared);
    d.add("ss_between", r.ss_between).add("ss_within", r.ss_within).add("ss_total", r.ss_total);
    return d;
}

Result<Array1<double>> p_adjust_np(Slice pvalues, Str method) {
    MS_TRY(r, infer::p_adjust(pvalues, method));
    return Array1<double>(std::move(r));
}

Family family{
    fn<"mean_diff_ci_np", &mean_diff_ci_np>(
        "(x, y=None, alpha=0.05, equal_var=True)",
        "Analytic t confidence interval: for mean(x) when `y` is None, for mean(x) - mean(y) otherwise.\n\n"
        "Returns (lower, upper) = centre -/+ t(1 - alpha/2, df) * se. One sample: se = s/sqrt(n),\n"
        "df = n - 1 (`equal_var` is ignored). Two samples with `equal_var=True`: pooled variance,\n"
        "se = sqrt(sp2 * (1/n_x + 1/n_y)), df = n_x + n_y - 2. With `equal_var=False` (Welch):\n"
        "se = sqrt(s_x^2/n_x + s_y^2/n_y) with Welch-Satterthwaite df, kept within [1, n_x + n_y - 2]."),
    fn<"cohens_d_2samp_np", &cohens_d_2samp_np>("(x, y, pooled)", ""),
    fn<"hedges_g_2samp_np2", &hedges_g_2samp_np2>("(x, y, pooled)", ""),
    fn<"p_adjust_np", &p_adjust_np>(
        "(pvalues, method=\"bh\")",
        "Adjust p-values for multiple testing.\n\n"
        "Methods (case-insensitive):\n"
        "  \"bonferroni\"          p * n, capped at 1.\n"
        "  \"holm\"                Holm's step-down Bonferroni correction.\n"
        "  \"bh\" / \"fdr_bh\"       Benjamini-Hochberg step-up false discovery rate control\n"
        "                        (also \"benjamini-hochberg\").\n\n"
        "The adjusted p-values come back in the input order."),
    fn<"rank_biserial_np", &rank_biserial_np>(
        "(x, y)",
        "Rank-biserial correlation of two samples: r = 1 - 2*U_x / (n_x*n_y), where\n"
        "U_x = R_x - n_x*(n_x + 1)/2 and R_x is the sum of x's average ranks in the pooled sample.\n"
        "r is +1 when every x lies below every y and -1 when every x lies above every y.\n\n"
        "Returns a dict with keys rank_biserial, u_statistic."),
    fn<"cliffs_delta_np", &cliffs_delta_np>(
        "(x, y)",
        "Cliff's delta: (#(x_i > y_j) - #(x_i < y_j)) / (n_x*n_y) over all pairs.\n\n"
        "magnitude by |delta|: < 0.147 negligible, < 0.33 small, < 0.474 medium, else large.\n\n"
        "Returns a dict with keys delta, dominance_greater, dominance_less, magnitude."),
    fn<"anova_effect_sizes_np", &anova_effect_sizes_np>(
        "(groups)",
        "Effect sizes of a one-way ANOVA.\n\n"
        "eta_squared = SS_between / SS_total;\n"
        "omega_squared = max((SS_between - (k - 1)*MS_within) / (SS_total + MS_within), 0),\n"
        "MS_within = SS_within / (N - k). Both are 0 when the total sum of squares is 0.\n\n"
        "Returns a dict with keys eta_squared, omega_squared, ss_between, ss_within, ss_total."),
};

}  // namespace
}  // namespace ms
