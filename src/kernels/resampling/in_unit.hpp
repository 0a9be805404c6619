// Samples read in their power-of-two unit. Squares of data far from 1
// (replicate spreads, standard errors, accelerations) overflow or go
// subnormal long before the data do; read in its unit the sample is the same
// numbers as any power-of-two multiple of it, so every resampling result
// scales with the data bit for bit. Ordinary data, inside the plain range,
// are read as they are and keep their bits.
#pragma once

#include <span>
#include <utility>

#include "core/result.hpp"
#include "core/unit.hpp"
#include "kernels/resampling/bootstrap.hpp"
#include "kernels/resampling/jackknife.hpp"

namespace ms::kernels::resampling {

// Results computed in unit u, back in the data's own unit. Every value here
// is a location or a spread: the first power of the unit.
inline void scale_back(double& v, const core::Unit& u) noexcept { v = core::unscale(v, u, 1); }
inline void scale_back(Estimate& e, const core::Unit& u) noexcept {
    scale_back(e.estimate, u);
    scale_back(e.lower, u);
    scale_back(e.upper, u);
}
inline void scale_back(JackknifeResult& r, const core::Unit& u) noexcept {
    scale_back(r.estimate, u);
    scale_back(r.bias, u);
    scale_back(r.se, u);
}
inline void scale_back(Buf<double>& v, const core::Unit& u) noexcept { core::unscale(v.data(), v.size(), u, 1); }
template <class T>
void scale_back(Result<T>& r, const core::Unit& u) noexcept {
    if (r.ok()) scale_back(r.value(), u);
}

// f(v) with v the sample x read in its unit, and its result scaled back.
template <class F>
auto in_unit(std::span<const double> x, F&& f) {
    const core::InUnit v(x);
    auto r = std::forward<F>(f)(v.span());
    scale_back(r, v.unit());
    return r;
}

}  // namespace ms::kernels::resampling
