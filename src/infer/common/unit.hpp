// Samples as the tests read them: in their power-of-two unit.
//
// Sums of squares of data near 1e+-300 overflow or vanish, so a statistic of
// such data would be nothing like that of the same data scaled. Data inside
// the plain range are read where they lie, so ordinary data keep their bits
// and pay nothing but the magnitude their sum pass already found. Data beyond
// it are read as one copy scaled by the power of two that brings the largest
// magnitude into [0.5, 1). Scaling by a power of two is exact, so x and
// x * 2^k are read as the same numbers and give the same statistics; results
// that carry the data's unit are scaled back with unscale(). Samples that are
// compared or pooled share one unit.
#pragma once

#include <span>
#include <vector>

#include "core/result.hpp"
#include "core/unit.hpp"
#include "infer/common/sums.hpp"

namespace ms::infer {

class SamplesInUnit {
public:
    // Finite samples, their plain sums (or an empty span where the test needs
    // none) and the largest magnitude among them all. The spans must outlive
    // this object.
    SamplesInUnit(std::span<const std::span<const double>> xs, std::span<const double> sums, double big) {
        init(xs, sums, big, 2);
    }
    // One sample; `power` is the highest power of the data the test sums
    // (fourth powers for a kurtosis leave less room above).
    SamplesInUnit(std::span<const double> x, double sum, double big, int power = 2)
        : few_{x, {}}, few_sums_{sum, 0.0} {
        init({few_, 1}, {few_sums_, 1}, big, power);
    }
    // Two samples compared with each other, in their common unit.
    SamplesInUnit(std::span<const double> x, double sum_x, std::span<const double> y, double sum_y, double big)
        : few_{x, y}, few_sums_{sum_x, sum_y} {
        init(few_, few_sums_, big, 2);
    }
    SamplesInUnit(const SamplesInUnit&) = delete;  // the spans may point into the object
    SamplesInUnit& operator=(const SamplesInUnit&) = delete;

    std::span<const double> operator[](size_t i) const noexcept { return spans_[i]; }
    std::span<const std::span<const double>> spans() const noexcept { return spans_; }
    double sum(size_t i) const noexcept { return sums_[i]; }
    std::span<const double> sums() const noexcept { return sums_; }
    bool identity() const noexcept { return unit_.identity(); }

    // A value in the data's unit (a hypothesised mean, a threshold) as read here.
    double in_unit(double v) const noexcept { return unit_(v); }
    // A result carrying the p-th power of the data's unit, in the data's own unit.
    double unscale(double v, int p) const noexcept { return core::unscale(v, unit_, p); }

private:
    void init(std::span<const std::span<const double>> xs, std::span<const double> sums, double big, int power) {
        spans_ = xs;
        sums_ = sums;
        if (core::plain_range(big) && (power <= 2 || big <= 0x1p200)) return;
        unit_ = core::unit_of_magnitude(big);
        if (unit_.identity()) return;  // all zeros
        size_t total = 0;
        for (std::span<const double> x : xs) total += x.size();
        copy_ = Buf<double>(total);
        own_spans_.resize(xs.size());
        size_t at = 0;
        for (size_t i = 0; i < xs.size(); ++i) {
            const size_t n = xs[i].size();
            for (size_t j = 0; j < n; ++j) copy_[at + j] = unit_(xs[i][j]);
            own_spans_[i] = {copy_.data() + at, n};
            at += n;
        }
        spans_ = own_spans_;
        if (sums.empty()) return;
        own_sums_.resize(xs.size());
        plain_sums(spans_, own_sums_.data());
        sums_ = own_sums_;
    }

    core::Unit unit_;
    std::span<const double> few_[2];
    double few_sums_[2] = {0.0, 0.0};
    Buf<double> copy_;
    std::vector<std::span<const double>> own_spans_;
    std::vector<double> own_sums_;
    std::span<const std::span<const double>> spans_;
    std::span<const double> sums_;
};

}  // namespace ms::infer
