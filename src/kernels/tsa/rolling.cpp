#include "kernels/tsa/rolling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "kernels/tsa/common.hpp"

namespace ms::kernels::tsa {
namespace {

// Monotonic deque of indices in a ring buffer. It never holds more than w
// indices: the leaving index is popped before the entering one is pushed.
// Max keeps decreasing values (front = maximum), otherwise increasing. NaN
// compares false, so it neither pops nor is popped.
template <bool Max>
class MonoDeque {
public:
    explicit MonoDeque(size_t w) : ring_(std::bit_ceil(w)), mask_(ring_.size() - 1) {}
    // Admits index i, first dropping the index that left the window.
    void push(const double* x, size_t i, size_t w) {
        if (i >= w && ring_[head_ & mask_] <= i - w) ++head_;
        while (tail_ != head_ && dominated(x[ring_[(tail_ - 1) & mask_]], x[i])) --tail_;
        ring_[tail_++ & mask_] = i;
    }
    size_t front() const { return ring_[head_ & mask_]; }

private:
    static bool dominated(double back, double v) { return Max ? back <= v : back >= v; }
    std::vector<size_t> ring_;
    size_t mask_, head_ = 0, tail_ = 0;
};

// Drives the deques over x and emits emit(i) for each complete window ending
// at i. A window holding a NaN emits NaN: the deque alone would report a value
// from before the NaN that may not be the window's extreme.
template <class Step, class Emit>
Buf<double> extrema(std::span<const double> x, size_t w, Step step, Emit emit) {
    Buf<double> out(x.size() - w + 1);
    size_t nan_end = 0;  // one past the latest NaN seen
    for (size_t i = 0; i < x.size(); ++i) {
        step(i);
        if (std::isnan(x[i])) nan_end = i + 1;
        if (i + 1 >= w) out[i + 1 - w] = nan_end > i + 1 - w ? kNaN : emit();
    }
    return out;
}

template <bool Max>
Buf<double> extreme(std::span<const double> x, size_t w) {
    MonoDeque<Max> q(w);
    return extrema(
        x, w, [&](size_t i) { q.push(x.data(), i, w); }, [&] { return x[q.front()]; });
}

double cv(double m2, double mean, size_t w) {
    return std::fabs(mean) > 1e-10 ? std::sqrt(m2 / static_cast<double>(w - 1)) / std::fabs(mean) : kNaN;
}

}  // namespace

Buf<double> rolling_max(std::span<const double> x, size_t w) { return extreme<true>(x, w); }
Buf<double> rolling_min(std::span<const double> x, size_t w) { return extreme<false>(x, w); }

Buf<double> rolling_range(std::span<const double> x, size_t w) {
    MonoDeque<true> hi(w);
    MonoDeque<false> lo(w);
    return extrema(
        x, w,
        [&](size_t i) {
            hi.push(x.data(), i, w);
            lo.push(x.data(), i, w);
        },
        [&] { return x[hi.front()] - x[lo.front()]; });
}

Buf<double> rolling_cv(std::span<const double> x, size_t w) {
    const size_t rows = x.size() - w + 1;
    const double wd = static_cast<double>(w);
    // One value has no sample deviation; the replacement update would let
    // M2 drift off zero and report 0-by-0 as an infinite CV.
    if (w == 1) return Buf<double>(rows, kNaN);
    Buf<double> out(rows);
    double mean = 0.0, m2 = 0.0;
    // Welford over the window starting at j, from scratch.
    auto restart = [&](size_t j) {
        mean = 0.0;
        m2 = 0.0;
        for (size_t k = 1; k <= w; ++k) {
            const double v = x[j + k - 1];
            const double d = v - mean;
            mean += d / static_cast<double>(k);
            m2 += d * (v - mean);
        }
    };
    // A non-finite value poisons the running state for good, so once the
    // last one has left the window the state is rebuilt from the window.
    // So it is once M2 has fallen below a small share of the largest M2 since
    // the last rebuild: a large value has left, or the values have come
    // together, and what is left of M2 may be only the rounding of the larger
    // one (2^-8 keeps that under 1e-13 of M2; long windows halve 1/w, the
    // least share a rebuilt window holds).
    const double share = std::min(0x1p-8, 0.5 / wd);
    double peak = 0.0;   // the largest M2 since the last rebuild
    size_t bad_end = 0;  // one past the latest non-finite value seen
    for (size_t i = 0; i < w; ++i)
        if (!std::isfinite(x[i])) bad_end = i + 1;
    restart(0);
    peak = m2;
    out[0] = cv(m2, mean, w);
    for (size_t j = 1; j < rows; ++j) {
        const double a = x[j - 1], b = x[j + w - 1];
        if (!std::isfinite(b)) bad_end = j + w;
        if (!std::isfinite(a) && bad_end <= j) {
            restart(j);
            peak = m2;
        } else {
            const double d = b - a;
            const double new_mean = mean + d / wd;
            m2 += d * ((a + (b - new_mean)) - mean);
            mean = new_mean;
            peak = m2 > peak ? m2 : peak;
            if (m2 < share * peak && bad_end <= j) [[unlikely]] {
                restart(j);
                peak = m2;
            }
        }
        out[j] = cv(m2, mean, w);
    }
    return out;
}

Buf<double> rolling_count_above(std::span<const double> x, double threshold, size_t w, double scale) {
    const size_t rows = x.size() - w + 1;
    Buf<double> out(rows);
    size_t count = 0;
    for (size_t i = 0; i < w; ++i) count += x[i] > threshold;
    out[0] = static_cast<double>(count) / scale;
    for (size_t j = 1; j < rows; ++j) {
        count = count - (x[j - 1] > threshold) + (x[j + w - 1] > threshold);
        out[j] = static_cast<double>(count) / scale;
    }
    return out;
}

}  // namespace ms::kernels::tsa
