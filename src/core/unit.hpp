// The power-of-two unit of a series. Results that have no unit (test
// statistics, ratios of a spectrum) must not depend on the scale of the data,
// yet sums of squares of data near 1e+-150 overflow or go subnormal. Reading a
// series scaled by the power of two that brings its largest magnitude into
// [0.5, 1) is exact while the values stay normal, so x and x * 2^k are read as
// the same numbers and give the same bits. Results that carry the unit are
// then scaled back exactly. Python-free.
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <vector>

namespace ms::core {

// v -> v * 2^e as two factors, so that scaling all-subnormal data up is
// exact too.
struct Unit {
    double a = 1.0, b = 1.0;
    double operator()(double v) const noexcept { return v * a * b; }
    // e, the power of two the unit multiplies by.
    int exponent() const noexcept { return std::ilogb(a) + std::ilogb(b); }
    bool identity() const noexcept { return a == 1.0 && b == 1.0; }
};

// The largest magnitude of the values a pass reads, NaN left out (and
// infinities too, with Finite), kept in L vectors of two and brought together
// only when asked for: runs of values may come one after another. A pass of
// its own wants eight vectors in flight; one that hides the folds behind a
// chain of additions (fold, 16 values at a time) wants one, which leaves the
// registers to that chain.
template <bool Finite = false, size_t L = 8>
class Magnitudes {
public:
    static constexpr size_t kBlock = 16;

    void fold(const double* p) noexcept {
        const I2 magnitude = {INT64_MAX, INT64_MAX};  // every bit but the sign
        const V2 top = {kTop, kTop};
        for (size_t j = 0; j < kBlock / 2; ++j) {
            I2 v;
            std::memcpy(&v, p + 2 * j, sizeof v);
            const V2 a = reinterpret_cast<V2>(v & magnitude);
            V2& m = m_[j % L];
            if constexpr (Finite)
                m = (a > m) & (a <= top) ? a : m;
            else
                m = a > m ? a : m;  // NaN never compares greater
        }
    }

    void add(std::span<const double> x) noexcept {
        const size_t n = x.size();
        size_t i = 0;
        for (; i + kBlock <= n; i += kBlock) fold(x.data() + i);
        for (; i < n; ++i) {
            const double a = std::fabs(x[i]);
            if (a > rest_ && a <= kTop) rest_ = a;
        }
    }

    double largest() const noexcept {
        double big = rest_;
        for (const V2& l : m_)
            for (size_t j = 0; j < 2; ++j)
                if (l[j] > big) big = l[j];
        return big;
    }

private:
    using V2 = double __attribute__((vector_size(16)));
    using I2 = int64_t __attribute__((vector_size(16)));
    static constexpr double kTop = Finite ? DBL_MAX : INFINITY;
    V2 m_[L] = {};
    double rest_ = 0.0;
};

// |v| where v is finite, else 0: infinities and NaN are set aside when the
// unit of data read in parts (windows, columns) is sought. Branch-free.
inline double finite_magnitude(double v) noexcept {
    const double a = std::fabs(v);
    return a <= DBL_MAX ? a : 0.0;
}

// The largest |x[i]|, NaN left out.
inline double max_magnitude(std::span<const double> x) noexcept {
    Magnitudes<> m;
    m.add(x);
    return m.largest();
}

// The largest finite |x[i]|: the magnitude of series whose parts are read
// apart (windows), where an infinity spoils only its own part. The plain
// pass is the faster one; the second only for data holding an infinity.
inline double max_finite_magnitude(std::span<const double> x) noexcept {
    const double big = max_magnitude(x);
    if (std::isfinite(big)) return big;
    Magnitudes<true> m;
    m.add(x);
    return m.largest();
}

// A plain left-to-right sum from 0.0 (the bits of core::sum) and the largest
// magnitude (NaN left out), in one pass: the magnitudes of a block are
// independent of the chain of additions, which hides them. Not inlined: a
// caller that allocates afterwards would have the sum spilled to memory on
// every block of the chain, ten per cent slower.
struct SumMagnitude {
    double sum, big;
};

[[gnu::noinline]] inline SumMagnitude sum_and_magnitude(std::span<const double> x) noexcept {
    using M = Magnitudes<false, 1>;
    const size_t n = x.size();
    M m;
    double s = 0.0;
    size_t i = 0;
    for (; i + M::kBlock <= n; i += M::kBlock) {
        m.fold(x.data() + i);
        for (size_t j = 0; j < M::kBlock; ++j) s += x[i + j];
    }
    m.add(x.subspan(i));
    for (; i < n; ++i) s += x[i];
    return {s, m.largest()};
}

// The unit that brings the magnitude `big` into [0.5, 1); none for zero or
// infinity (such data end in a NaN or a degenerate result whatever the unit).
inline Unit unit_of_magnitude(double big) noexcept {
    if (!(big > 0.0) || !std::isfinite(big)) return {};
    const uint64_t biased = std::bit_cast<uint64_t>(big) >> 52;  // the sign bit is clear
    // big in [2^-1022, 2^1022): the factor is the normal power of two
    // 2^(1022 - biased), built from its bits.
    if (biased >= 1 && biased <= 2044) return {std::bit_cast<double>((2045 - biased) << 52), 1.0};
    int e = 0;
    std::frexp(big, &e);
    if (e >= -1021) return {std::ldexp(1.0, -e), 1.0};  // 2^-1023 or 2^-1024, subnormal but exact
    return {std::ldexp(1.0, 1021), std::ldexp(1.0, -e - 1021)};
}

// The unit of x.
inline Unit unit_of(std::span<const double> x) noexcept { return unit_of_magnitude(max_magnitude(x)); }

// Whether data of largest magnitude `big` can skip their unit where a result
// carries the unit of the data (spectra, densities): reading in the unit and
// scaling back gives the bits of the plain computation as long as squares and
// sums stay normal, which [2^-250, 2^250] leaves room for.
inline bool plain_range(double big) noexcept { return big >= 0x1p-250 && big <= 0x1p250; }

// The unit of data of largest magnitude `big` only when it is needed in
// that sense; the identity inside the plain range.
inline Unit unit_beyond_range_of(double big) noexcept {
    return plain_range(big) ? Unit{} : unit_of_magnitude(big);
}

// The unit of x only when it is needed in that sense.
inline Unit unit_beyond_range(std::span<const double> x) noexcept { return unit_beyond_range_of(max_magnitude(x)); }

// The one unit of several series read together (a sample and the samples it
// is compared with), from their largest magnitude; none inside the plain range.
inline Unit unit_beyond_range(std::initializer_list<std::span<const double>> xs) noexcept {
    double big = 0.0;
    for (std::span<const double> x : xs) big = std::fmax(big, max_magnitude(x));
    return unit_beyond_range_of(big);
}

// A series as a kernel reads it in unit u: the data themselves for the
// identity (ordinary data keep their bits and pay nothing more), else a
// scaled copy. The copy also stands still while the caller's array may not.
class InUnit {
public:
    InUnit(std::span<const double> x, Unit u) : u_(u), view_(x) {
        if (u.identity()) return;
        copy_.resize(x.size());
        for (size_t i = 0; i < x.size(); ++i) copy_[i] = u(x[i]);
        view_ = copy_;
    }
    // In the series' own unit, when it lies beyond the plain range.
    explicit InUnit(std::span<const double> x) : InUnit(x, unit_beyond_range(x)) {}
    InUnit(const InUnit&) = delete;  // the view may point into the copy
    InUnit& operator=(const InUnit&) = delete;

    std::span<const double> span() const noexcept { return view_; }
    const double* data() const noexcept { return view_.data(); }
    size_t size() const noexcept { return view_.size(); }
    const Unit& unit() const noexcept { return u_; }

private:
    Unit u_;
    std::vector<double> copy_;
    std::span<const double> view_;
};

// A series as a kernel reads it, with the summary of a first pass over it
// that finds its largest magnitude (`.big`) along with what the kernel needs
// anyway (a sum, a count). Inside the plain range that pass is all ordinary
// data pay; beyond it the pass runs again over the copy in the series' unit.
template <class Pass>
class InUnitPass {
public:
    using Summary = std::invoke_result_t<Pass&, std::span<const double>>;

    InUnitPass(std::span<const double> x, Pass pass) : s_(pass(x)), x_(x, unit_beyond_range_of(s_.big)) {
        if (!x_.unit().identity()) s_ = pass(x_.span());
    }

    std::span<const double> span() const noexcept { return x_.span(); }
    const Unit& unit() const noexcept { return x_.unit(); }
    const Summary& summary() const noexcept { return s_; }

private:
    Summary s_;  // before x_, which is read in the unit it finds
    InUnit x_;
};

// v, a result computed on data read in unit u and carrying the p-th power of
// the data's unit, in the data's own unit: v * 2^(-e p), rounded once.
inline double unscale(double v, const Unit& u, int p) noexcept {
    return u.identity() ? v : std::ldexp(v, -u.exponent() * p);
}

// p[i] * 2^e for i < n, each rounded once (exact unless the result leaves the
// normal range). One multiplication while 2^e is a normal number.
inline void scale_by_pow2(double* p, size_t n, int e) noexcept {
    if (e == 0) return;
    if (e >= -1022 && e <= 1023) {
        const double f = std::ldexp(1.0, e);
        for (size_t i = 0; i < n; ++i) p[i] = p[i] * f;
    } else {
        for (size_t i = 0; i < n; ++i) p[i] = std::ldexp(p[i], e);
    }
}

// unscale for the n results at p.
inline void unscale(double* p, size_t n, const Unit& u, int power) noexcept {
    if (!u.identity()) scale_by_pow2(p, n, -u.exponent() * power);
}

}  // namespace ms::core
