// Normal, exponential and uniform distribution functions over a 1-D array.
// Parameters are checked before the array's layout, and quantile inputs are
// scanned whole before anything is computed.
#include <cmath>
#include <limits>
#include <span>

#include "frame/frame.hpp"
#include "kernels/dist/exponential.hpp"
#include "kernels/dist/map.hpp"
#include "kernels/dist/normal.hpp"
#include "kernels/dist/uniform.hpp"

namespace ms {
namespace {

namespace k = kernels::dist;

using Kernel = void (*)(std::span<const double>, double, double*);
using Kernel2 = void (*)(std::span<const double>, double, double, double*);

Array1<double> fill(Slice s, Kernel2 f, double p, double q) {
    Buf<double> out(s.size());
    f(s, p, q, out.data());
    return out;
}

Array1<double> fill(Slice s, Kernel f, double p) {
    Buf<double> out(s.size());
    f(s, p, out.data());
    return out;
}

Result<Slice> unit_range(Slice q) {
    if (k::any_outside_unit(q)) return value_error("q values must be in [0, 1]");
    return q;
}

// ---------------------------------------------------------------- normal

template <Kernel2 F>
Result<Array1<double>> normal(const View1& x, double mu, double sigma) {
    if (sigma <= 0.0) return value_error("sigma must be positive");
    MS_TRY(s, require_contiguous(x));
    return fill(s, F, mu, sigma);
}

Result<Array1<double>> norm_ppf(const View1& q, double mu, double sigma) {
    if (sigma <= 0.0) return value_error("sigma must be positive");
    MS_TRY(s, require_contiguous(q));
    MS_TRY(u, unit_range(s));
    if (std::isnan(mu) || std::isnan(sigma))
        return value_error("Invalid normal params: Bad distribution parameters");
    return fill(u, k::norm_ppf, mu, sigma);
}

// ----------------------------------------------------------- exponential

template <Kernel F>
Result<Array1<double>> exponential(const View1& x, double lam) {
    if (lam <= 0.0) return value_error("lam must be positive");
    MS_TRY(s, require_contiguous(x));
    return fill(s, F, lam);
}

Result<Array1<double>> exp_ppf(const View1& q, double lam) {
    if (lam <= 0.0) return value_error("lam must be positive");
    MS_TRY(s, require_contiguous(q));
    MS_TRY(u, unit_range(s));
    return fill(u, k::exp_ppf, lam);
}

// --------------------------------------------------------------- uniform

template <Kernel2 F>
Result<Array1<double>> uniform(const View1& x, double a, double b) {
    if (b <= a) return value_error("b must be greater than a");
    MS_TRY(s, require_contiguous(x));
    return fill(s, F, a, b);
}

Result<Array1<double>> unif_logsf(const View1& x, double a, double b) {
    if (!std::isfinite(a) || !std::isfinite(b)) return value_error("a and b must be finite");
    if (b - a <= 0.0) return value_error("b must be greater than a");
    MS_TRY(s, require_contiguous(x));
    return fill(s, k::unif_logsf, a, b);
}

Result<Array1<double>> unif_ppf(const View1& q, double a, double b) {
    if (b <= a) return value_error("b must be greater than a");
    MS_TRY(s, require_contiguous(q));
    MS_TRY(u, unit_range(s));
    return fill(u, k::unif_ppf, a, b);
}

// The hazard is +inf from b on: the survival function is 0 there.
Result<Array1<double>> unif_cumhazard(const View1& x, double a, double b) {
    if (!(std::isfinite(a) && std::isfinite(b) && b > a))
        return value_error("Uniform parameters require finite a,b with b > a");
    MS_TRY(s, require_contiguous(x));
    const double w = b - a;
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Past the support the hazard is the one of the last double below b.
    const double bd = std::nextafter(b, -inf);
    const double tail = (b - bd) / w;
    const double h_past = (a < bd && tail > 0.0) ? -std::log(tail) : inf;
    Buf<double> out(s.size());
    k::map(s, out.data(), [=](double v) {
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        if (v < a) return 0.0;
        if (v > b) return h_past;
        if (v == b) return inf;
        const double sf = (b - v) / w;
        return sf <= 0.0 ? inf : -std::log(sf);
    });
    return Array1<double>(std::move(out));
}

#define NORM_SIG "(x, mu=0.0, sigma=1.0)"
#define NORM_DOC(name, summary, note) summary note "\n\nPython signature:\n    " name NORM_SIG
#define EXP_SIG "(x, lam=1.0)"
#define EXP_DOC(name, summary) summary "\n\nPython signature:\n    " name EXP_SIG
#define UNIF_SIG "(x, a=0.0, b=1.0)"
#define UNIF_DOC(name, summary, note) summary note "\n\nPython signature:\n    " name UNIF_SIG

Family family{
    fn<"norm_pdf", &normal<k::norm_pdf>>(NORM_SIG, NORM_DOC("norm_pdf", "Normal PDF: 1D x -> 1D pdf(x)", "")),
    fn<"norm_logpdf", &normal<k::norm_logpdf>>(
        NORM_SIG, NORM_DOC("norm_logpdf", "Normal log-PDF: 1D x -> 1D logpdf(x)", "")),
    fn<"norm_cdf", &normal<k::norm_cdf>>(
        NORM_SIG,
        NORM_DOC("norm_cdf", "Normal CDF: 1D x -> 1D cdf(x)",
                 "\n\nComputed as 0.5 * erfc(-z / sqrt(2)), accurate to about 1e-14 relative in both tails.")),
    fn<"norm_sf", &normal<k::norm_sf>>(
        NORM_SIG, NORM_DOC("norm_sf", "Normal SF (survival function): 1D x -> 1D sf(x) = 1 - cdf(x)",
                           "\n\nComputed as 0.5 * erfc(z / sqrt(2)), never as 1 - cdf, so the upper tail keeps "
                           "its relative precision.")),
    fn<"norm_logsf", &normal<k::norm_logsf>>(
        NORM_SIG, NORM_DOC("norm_logsf", "Normal log-SF: 1D x -> 1D log(sf(x))",
                           "\n\nThe log of the erfc-based survival function; where that leaves the normal range, "
                           "computed in log space (asymptotic series), so it stays finite.")),
    fn<"norm_cumhazard", &normal<k::norm_cumhazard>>(
        NORM_SIG, NORM_DOC("norm_cumhazard", "Normal cumulative hazard: 1D x -> 1D H(x) = -ln(sf(x))", "")),
    fn<"norm_ppf", &norm_ppf>(
        "(q, mu=0.0, sigma=1.0)",
        "Normal PPF (inverse CDF): 1D q -> 1D x\n\n"
        "Computed as mu - sigma * sqrt(2) * erfcinv(2q); q = 0 and q = 1 give -inf and +inf.\n\n"
        "Python signature:\n    norm_ppf(q, mu=0.0, sigma=1.0)"),
    fn<"exp_pdf", &exponential<k::exp_pdf>>(EXP_SIG,
                                            EXP_DOC("exp_pdf", "Exponential PDF with rate λ: 1D x -> 1D pdf(x)")),
    fn<"exp_logpdf", &exponential<k::exp_logpdf>>(
        EXP_SIG, EXP_DOC("exp_logpdf", "Exponential log-PDF with rate λ: 1D x -> 1D logpdf(x)")),
    fn<"exp_cdf", &exponential<k::exp_cdf>>(EXP_SIG,
                                            EXP_DOC("exp_cdf", "Exponential CDF with rate λ: 1D x -> 1D cdf(x)")),
    fn<"exp_sf", &exponential<k::exp_sf>>(
        EXP_SIG, EXP_DOC("exp_sf", "Exponential SF (survival function): sf(x) = exp(-lam*x) for x>=0, else 1")),
    fn<"exp_logsf", &exponential<k::exp_logsf>>(
        EXP_SIG, EXP_DOC("exp_logsf", "Exponential log-SF: log(sf(x)) = -lam*x for x>=0, else 0")),
    fn<"exp_cumhazard", &exponential<k::exp_cumhazard>>(
        EXP_SIG, EXP_DOC("exp_cumhazard", "Exponential cumulative hazard: H(x) = lam*x for x>=0, else 0")),
    fn<"exp_ppf", &exp_ppf>("(q, lam=1.0)",
                            "Exponential PPF (inverse CDF): 1D q -> 1D x\n\n"
                            "Python signature:\n    exp_ppf(q, lam=1.0)"),
    fn<"unif_pdf", &uniform<k::unif_pdf>>(UNIF_SIG, UNIF_DOC("unif_pdf", "Uniform PDF: 1D x -> 1D pdf(x)", "")),
    fn<"unif_logpdf", &uniform<k::unif_logpdf>>(
        UNIF_SIG, UNIF_DOC("unif_logpdf", "Uniform log-PDF: 1D x -> 1D logpdf(x)", "")),
    fn<"unif_cdf", &uniform<k::unif_cdf>>(UNIF_SIG, UNIF_DOC("unif_cdf", "Uniform CDF: 1D x -> 1D cdf(x)", "")),
    fn<"unif_sf", &uniform<k::unif_sf>>(UNIF_SIG, UNIF_DOC("unif_sf", "Uniform SF: sf(x) = 1 - cdf(x)", "")),
    fn<"unif_logsf", &unif_logsf>(
        UNIF_SIG, UNIF_DOC("unif_logsf", "Uniform log-SF: log(sf(x))",
                           "\n\nPiecewise: 0 for x <= a, -inf for x >= b, log((b - x) / (b - a)) in between.")),
    fn<"unif_cumhazard", &unif_cumhazard>("(x, a, b)"),
    fn<"unif_ppf", &unif_ppf>("(q, a=0.0, b=1.0)",
                              "Uniform PPF (inverse CDF): 1D q -> 1D x\n\n"
                              "Python signature:\n    unif_ppf(q, a=0.0, b=1.0)"),
};

#undef UNIF_DOC
#undef UNIF_SIG
#undef EXP_DOC
#undef EXP_SIG
#undef NORM_DOC
#undef NORM_SIG

}  // namespace
}  // namespace ms
