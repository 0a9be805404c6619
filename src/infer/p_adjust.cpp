#include "infer/p_adjust.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "infer/common.hpp"

namespace ms::infer {
namespace {

struct Ranked {
    double p;
    size_t pos;
};

// The p-values paired with their positions, ordered by p (ascending or
// descending) with ties kept in input order: a stable sort, done as one
// sort on (p, position).
Buf<Ranked> ranked(std::span<const double> p, bool descending) {
    Buf<Ranked> r(p.size());
    for (size_t i = 0; i < p.size(); ++i) r[i] = Ranked{p[i], i};
    if (descending)
        std::sort(r.begin(), r.end(), [](const Ranked& a, const Ranked& b) {
            return a.p > b.p || (!(b.p > a.p) && a.pos < b.pos);
        });
    else
        std::sort(r.begin(), r.end(), [](const Ranked& a, const Ranked& b) {
            return a.p < b.p || (!(b.p < a.p) && a.pos < b.pos);
        });
    return r;
}

// The method name lower-cased. Only ASCII text can name a method: no other
// character lower-cases to a letter of the accepted names, so non-ASCII text
// is left as it is and fails the match.
std::string fold_method(std::string_view s) {
    std::string out(s);
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return out;
}

}  // namespace

Buf<double> bonferroni(std::span<const double> p) {
    double n = static_cast<double>(p.size());
    Buf<double> out(p.size());
    for (size_t i = 0; i < p.size(); ++i) out[i] = std::min(p[i] * n, 1.0);
    return out;
}

Buf<double> holm(std::span<const double> p) {
    size_t n = p.size();
    Buf<Ranked> r = ranked(p, false);
    Buf<double> out = Buf<double>::zeros(n);
    double running = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double term = std::min(r[k].p * static_cast<double>(n - k), 1.0);
        running = std::max(running, term);
        out[r[k].pos] = running;
    }
    return out;
}

Buf<double> benjamini_hochberg(std::span<const double> p) {
    size_t n = p.size();
    double dn = static_cast<double>(n);
    Buf<Ranked> r = ranked(p, true);
    Buf<double> out = Buf<double>::zeros(n);
    double running = 1.0;
    for (size_t k = 0; k < n; ++k) {
        double term = std::min((r[k].p * dn) / static_cast<double>(n - k), 1.0);
        running = std::min(running, term);
        out[r[k].pos] = running;
    }
    return out;
}

Result<Buf<double>> p_adjust(std::span<const double> p, std::string_view method_text) {
    if (p.empty()) return Buf<double>(0);
    if (auto e = reject_nonfinite(p, "pvalues")) return std::move(*e);
    for (double v : p)
        if (v < 0.0 || v > 1.0) return value_error("p-values must be in [0, 1]");
    std::string method = fold_method(method_text);
    if (method == "bonferroni") return bonferroni(p);
    if (method == "holm") return holm(p);
    if (method == "bh" || method == "fdr_bh" || method == "benjamini-hochberg") return benjamini_hochberg(p);
    return value_error("method must be one of: 'bonferroni', 'holm', 'bh'");
}

}  // namespace ms::infer
