// Compensated (Kahan) addition, for doubles and for vectors of independent
// lanes alike: each lane keeps its own sequential sum.
#pragma once

namespace ms::kernels::rolling {

template <class T>
struct Kahan {
    T s{};
    T e{};
    void add(T v) noexcept {
        T y = v - e;
        T t = s + y;
        e = (t - s) - y;
        s = t;
    }
    // add(-v) to the bit, without forming -v: (-v) - e is -(v + e) exactly,
    // and adding a negated value is subtracting it.
    void sub(T v) noexcept {
        T y = v + e;
        T t = s - y;
        e = (t - s) + y;
        s = t;
    }
};

}  // namespace ms::kernels::rolling
