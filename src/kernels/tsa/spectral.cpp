#include "kernels/tsa/spectral.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>
#include <vector>

#include <fftw3.h>

#include "core/spread.hpp"
#include "core/unit.hpp"
#include "kernels/tsa/common.hpp"

namespace ms::kernels::tsa {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Below this length the direct transform beats planning an FFT.
constexpr size_t kDirectMax = 64;

// An unnormalised forward complex transform of length n, in place on buf.
// Planned per call (FFTW_ESTIMATE never touches the arrays while planning)
// and destroyed with the object; the 64-bit interface takes any length.
class FwdPlan {
public:
    FwdPlan(fftw_complex* buf, size_t n) {
        fftw_iodim64 dim{static_cast<ptrdiff_t>(n), 1, 1};
        p_ = fftw_plan_guru64_dft(1, &dim, 0, nullptr, buf, buf, FFTW_FORWARD, FFTW_ESTIMATE);
        if (!p_) throw std::bad_alloc();
    }
    FwdPlan(const FwdPlan&) = delete;
    FwdPlan& operator=(const FwdPlan&) = delete;
    ~FwdPlan() { fftw_destroy_plan(p_); }
    void run() const { fftw_execute(p_); }

private:
    fftw_plan p_;
};

// Interleaved (re, im) pairs viewed as FFTW's complex type.
fftw_complex* as_complex(Buf<double>& b) { return reinterpret_cast<fftw_complex*>(b.data()); }

// k / L for k = 0, ..., L/2.
Buf<double> bin_freqs(size_t L) {
    const size_t m = L / 2 + 1;
    Buf<double> f(m);
    const double dl = static_cast<double>(L);
    for (size_t k = 0; k < m; ++k) f.data()[k] = static_cast<double>(k) / dl;
    return f;
}

// One-sided folding: every bin but 0 and, for even L, the Nyquist bin.
void double_one_sided(double* p, size_t L) {
    const size_t m = L / 2 + 1;
    const size_t end = (L % 2 == 0) ? m - 1 : m;
    for (size_t k = 1; k < end; ++k) p[k] = 2.0 * p[k];
}

}  // namespace

namespace {

// A periodogram in a power-of-two unit of its series, and the power of two
// that takes its powers back to the data's own unit (squared).
struct UnitSpectrum {
    Spectrum s;
    int back;
};

// The periodogram of x read in its unit (largest magnitude in [0.5, 1)), so
// a series and its copies scaled by powers of two give the same bits and
// squares neither overflow nor vanish; with `always` false only data outside
// the plain range are rescaled.
UnitSpectrum periodogram_in(std::span<const double> x, bool always) {
    const size_t n = x.size();
    if (n == 0) return {};
    const size_t m = n / 2 + 1;
    Spectrum s{bin_freqs(n), Buf<double>(m)};
    double* P = s.power.data();
    const double dn = static_cast<double>(n);
    const double nn = dn * dn;
    auto unit = [always](double big) {
        return always || !core::plain_range(big) ? core::unit_of_magnitude(big) : core::Unit{};
    };
    core::Unit u;
    if (n < kDirectMax) {
        u = unit(core::max_magnitude(x));
        for (size_t k = 0; k < m; ++k) {
            const double dk = static_cast<double>(k);
            double re = 0.0, im = 0.0;
            for (size_t t = 0; t < n; ++t) {
                const double a = (dk * -kTwoPi * static_cast<double>(t)) / dn;
                const double xt = u(x[t]);
                re += xt * std::cos(a);
                im += xt * std::sin(a);
            }
            P[k] = (re * re + im * im) / nn;
        }
    } else {
        Buf<double> buf(2 * n);
        fftw_complex* c = as_complex(buf);
        FwdPlan plan(c, n);
        // The largest magnitude is found while copying (NaN left out); only
        // data read in a unit pay a second pass, over the copy.
        double big = 0.0;
        for (size_t t = 0; t < n; ++t) {
            const double v = x[t], a = std::fabs(v);
            big = a > big ? a : big;
            c[t][0] = v;
            c[t][1] = 0.0;
        }
        u = unit(big);
        if (!u.identity())
            for (size_t t = 0; t < n; ++t) c[t][0] = u(c[t][0]);
        plan.run();
        for (size_t k = 0; k < m; ++k) P[k] = (c[k][0] * c[k][0] + c[k][1] * c[k][1]) / nn;
    }
    double_one_sided(P, n);
    return {std::move(s), -2 * u.exponent()};
}

UnitSpectrum unit_periodogram(std::span<const double> x) { return periodogram_in(x, true); }

}  // namespace

Spectrum periodogram_fft(std::span<const double> x) {
    UnitSpectrum us = periodogram_in(x, false);
    core::scale_by_pow2(us.s.power.data(), us.s.power.size(), us.back);
    return std::move(us.s);
}

Spectrum welch_psd(std::span<const double> x, uint64_t nperseg, std::optional<uint64_t> noverlap) {
    const uint64_t N = nperseg;
    const uint64_t o = noverlap ? *noverlap : N / 2;
    const size_t n = x.size();
    if (n < N || N <= o) return periodogram_fft(x);
    const size_t L = static_cast<size_t>(N);
    const size_t step = static_cast<size_t>(N - o);
    const size_t segs = (n - static_cast<size_t>(o)) / step;

    Buf<double> w(L);
    double U = 0.0;
    const double dL = static_cast<double>(L);
    for (size_t i = 0; i < L; ++i) {
        w.data()[i] = 0.5 * (1.0 - std::cos((static_cast<double>(i) * kTwoPi) / dL));
        U += w.data()[i] * w.data()[i];
    }
    const double inv_u = 1.0 / U;

    const size_t m = L / 2 + 1;
    Spectrum s{bin_freqs(L), Buf<double>::zeros(m)};
    double* A = s.power.data();
    // One buffer serves every segment: each is refilled before its transform.
    Buf<double> buf(2 * L);
    fftw_complex* c = as_complex(buf);
    FwdPlan plan(c, L);
    // Sums A over the segments with the values read through `read`.
    auto accumulate = [&](auto read) {
        for (size_t seg = 0; seg < segs; ++seg) {
            const double* xs = x.data() + seg * step;
            double sum = 0.0;
            for (size_t j = 0; j < L; ++j) sum += read(xs[j]);
            double mu = sum / dL;
            // A segment of equal values has no deviations, whether or not
            // its mean rounds; ordinary segments stop at the ends.
            if (xs[0] == xs[L - 1] && core::all_equal(xs, L)) mu = read(xs[0]);
            for (size_t j = 0; j < L; ++j) {
                c[j][0] = w.data()[j] * (read(xs[j]) - mu);
                c[j][1] = 0.0;
            }
            plan.run();
            for (size_t k = 0; k < m; ++k) A[k] += inv_u * (c[k][0] * c[k][0] + c[k][1] * c[k][1]);
        }
    };
    accumulate([](double v) { return v; });
    // While the largest density lies in [2^-400, 2^400] no square overflowed
    // or lost digits to the subnormal range, and reading in the unit would give
    // these bits. Otherwise (data far from 1, or non-finite) the covered data
    // are read again in their unit and the densities scaled back at the end.
    double top = 0.0;
    for (size_t k = 0; k < m; ++k) top = A[k] > top ? A[k] : top;
    core::Unit u;
    if (!(top >= 0x1p-400 && top <= 0x1p400)) {
        u = core::unit_of(x.first((segs - 1) * step + L));
        if (!u.identity()) {
            std::fill(A, A + m, 0.0);
            accumulate(u);
        }
    }
    const double ds = static_cast<double>(segs);
    for (size_t k = 0; k < m; ++k) A[k] = A[k] / ds;
    double_one_sided(A, L);
    core::scale_by_pow2(A, m, -2 * u.exponent());
    return s;
}

Spectrum cumulative_periodogram(std::span<const double> x) {
    UnitSpectrum us = unit_periodogram(x);
    Spectrum& s = us.s;
    const size_t m = s.power.size();
    if (m == 0) return std::move(s);
    double* R = s.power.data();
    double c = 0.0;
    for (size_t k = 0; k < m; ++k) {
        c += R[k];
        R[k] = c;
    }
    const double total = R[m - 1];
    if (total > 0.0)
        for (size_t k = 0; k < m; ++k) R[k] = R[k] / total;
    else
        core::scale_by_pow2(R, m, us.back);
    return std::move(s);
}

namespace {

// True when some bin holds NaN (a NaN anywhere in the series spreads to every
// bin): no feature of such a spectrum means anything.
bool holds_nan(const Spectrum& s) {
    for (size_t k = 0; k < s.power.size(); ++k)
        if (std::isnan(s.power.data()[k])) return true;
    return false;
}

// The total power of a non-empty spectrum unless it is <= 0 or NaN.
std::optional<double> usable_total(const Spectrum& s) {
    if (s.power.size() == 0) return std::nullopt;
    double t = 0.0;
    for (size_t k = 0; k < s.power.size(); ++k) t += s.power.data()[k];
    if (!(t > 0.0)) return std::nullopt;
    return t;
}

// Powers at or below this, in the data's own unit, count as the floor in the
// flatness means.
constexpr double kDataPowerFloor = 1e-10;

}  // namespace

double band_power(std::span<const double> x, double freq_low, double freq_high) {
    const UnitSpectrum us = unit_periodogram(x);
    const Spectrum& s = us.s;
    if (s.power.size() == 0 || holds_nan(s)) return kNaN;
    double b = 0.0;
    for (size_t k = 0; k < s.power.size(); ++k) {
        const double f = s.freqs.data()[k];
        if (freq_low <= f && f <= freq_high) b += s.power.data()[k];
    }
    return std::ldexp(b, us.back);
}

Peaks spectral_peaks(std::span<const double> x, uint64_t n_peaks, double min_height) {
    // Bins are compared in the unit of the series; heights are powers of the
    // data as given.
    const UnitSpectrum us = unit_periodogram(x);
    const Spectrum& s = us.s;
    const size_t m = s.power.size();
    if (m < 2) return {Buf<double>(0), Buf<double>(0)};
    const double* P = s.power.data();
    struct Peak {
        size_t bin;
        double power;
    };
    std::vector<Peak> peaks;
    for (size_t i = 2; i + 1 < m; ++i)
        if (P[i] > P[i - 1] && P[i] > P[i + 1]) {
            const double height = std::ldexp(P[i], us.back);
            if (height >= min_height) peaks.push_back({i, P[i]});
        }
    std::stable_sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.power > b.power; });
    const size_t keep = static_cast<size_t>(std::min<uint64_t>(peaks.size(), n_peaks));
    Buf<double> f(keep), p(keep);
    for (size_t j = 0; j < keep; ++j) {
        f.data()[j] = s.freqs.data()[peaks[j].bin];
        p.data()[j] = std::ldexp(peaks[j].power, us.back);
    }
    return {std::move(f), std::move(p)};
}

double spectral_entropy(std::span<const double> x) {
    const Spectrum s = unit_periodogram(x).s;
    const auto total = usable_total(s);
    if (!total) return kNaN;
    double h = 0.0;
    for (size_t k = 0; k < s.power.size(); ++k) {
        const double v = s.power.data()[k];
        if (v > 0.0) {
            const double p = v / *total;
            h = h - p * std::log(p);
        }
    }
    return h;
}

double spectral_rolloff(std::span<const double> x, double percentile) {
    const Spectrum s = unit_periodogram(x).s;
    const size_t m = s.power.size();
    const auto total = usable_total(s);
    if (!total) return kNaN;
    const double threshold = percentile * *total;
    double c = 0.0;
    for (size_t k = 0; k < m; ++k) {
        c += s.power.data()[k];
        if (c >= threshold) return s.freqs.data()[k];
    }
    return s.freqs.data()[m - 1];
}

double spectral_centroid(std::span<const double> x) {
    const Spectrum s = unit_periodogram(x).s;
    const auto total = usable_total(s);
    if (!total) return kNaN;
    double fp = 0.0;
    for (size_t k = 0; k < s.power.size(); ++k) fp += s.freqs.data()[k] * s.power.data()[k];
    return fp / *total;
}

double spectral_flatness(std::span<const double> x) {
    // The floor is a power of the data as given; data far from 1 are read in
    // their unit, where the floor is the same power carried into that unit
    // (0 or inf when it leaves the range: every bin above it, or none).
    const UnitSpectrum us = periodogram_in(x, false);
    const Spectrum& s = us.s;
    const size_t m = s.power.size();
    if (m == 0 || holds_nan(s)) return kNaN;
    const double lowest = std::ldexp(kDataPowerFloor, -us.back);
    // Powers at or below the floor are raised to it, not dropped: an empty bin
    // keeps the geometric mean finite yet still pulls it down, so a tone scores
    // near 0. A spectrum with nothing above the floor has no shape: NaN.
    double log_sum = 0.0, sum = 0.0;
    bool above = false;
    for (size_t k = 0; k < m; ++k) {
        double v = s.power.data()[k];
        if (v > lowest)
            above = true;
        else
            v = lowest;
        log_sum += std::log(v);
        sum += v;
    }
    if (!above) return kNaN;
    const double dm = static_cast<double>(m);
    return std::exp(log_sum / dm) / (sum / dm);
}

double dominant_frequency(std::span<const double> x) {
    const Spectrum s = unit_periodogram(x).s;
    const size_t m = s.power.size();
    if (m < 2 || holds_nan(s)) return kNaN;
    const double* P = s.power.data();
    // Ties move to the later bin.
    size_t best = 1;
    for (size_t k = 2; k < m; ++k)
        if (!(P[best] > P[k])) best = k;
    return s.freqs.data()[best];
}

}  // namespace ms::kernels::tsa
