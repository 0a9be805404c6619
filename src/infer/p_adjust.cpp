#include "infer/p_adjust.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

#include "infer/common/checks.hpp"
#include "core/radix_sort.hpp"

namespace ms::infer {
namespace {

// Sort keys of p-values in [0, 1]: the bit patterns of non-negative doubles
// order as unsigned integers; -0.0 is keyed as +0.0, the value it equals.
uint64_t key_of(double v, bool descending) noexcept {
    uint64_t k = v == 0.0 ? 0 : std::bit_cast<uint64_t>(v);
    return descending ? ~k : k;
}

// Positions of the p-values ordered by p (ascending or descending) with ties
// kept in input order: small inputs sort (key, position) pairs, large ones
// use the stable radix sort. Both give the same order.
Buf<size_t> ranked(std::span<const double> p, bool descending) {
    struct Item {
        uint64_t key;
        size_t pos;
    };
    size_t n = p.size();
    Buf<Item> a(n);
    for (size_t i = 0; i < n; ++i) a[i] = Item{key_of(p[i], descending), i};
    if (n < core::kRadixFrom)
        std::sort(a.begin(), a.end(),
                  [](const Item& l, const Item& r) { return l.key < r.key || (l.key == r.key && l.pos < r.pos); });
    else
        core::radix_sort_by(a.data(), n, [](const Item& it) { return it.key; });
    Buf<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = a[i].pos;
    return order;
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
    Buf<size_t> order = ranked(p, false);
    Buf<double> out = Buf<double>::zeros(n);
    double running = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double term = std::min(p[order[k]] * static_cast<double>(n - k), 1.0);
        running = std::max(running, term);
        out[order[k]] = running;
    }
    return out;
}

Buf<double> benjamini_hochberg(std::span<const double> p) {
    size_t n = p.size();
    double dn = static_cast<double>(n);
    Buf<size_t> order = ranked(p, true);
    Buf<double> out = Buf<double>::zeros(n);
    double running = 1.0;
    for (size_t k = 0; k < n; ++k) {
        double term = std::min((p[order[k]] * dn) / static_cast<double>(n - k), 1.0);
        running = std::min(running, term);
        out[order[k]] = running;
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
