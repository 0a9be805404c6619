// Element-by-element evaluation shared by the distribution kernels.
#pragma once

#include <cstddef>
#include <span>

namespace ms::kernels::dist {

// out[i] = f(x[i]) in index order; f is inlined so simple rules vectorise.
template <class F>
inline void map(std::span<const double> x, double* out, F f) {
    const double* p = x.data();
    const size_t n = x.size();
    for (size_t i = 0; i < n; ++i) out[i] = f(p[i]);
}

// True when some value is not NaN and lies outside [0, 1].
inline bool any_outside_unit(std::span<const double> q) {
    for (double v : q)
        if (v < 0.0 || v > 1.0) return true;
    return false;
}

}  // namespace ms::kernels::dist
