// Configurable robust standardisation: a location and a scale estimator chosen
// by name, parsed once into a small record of bytes and doubles, then applied
// to fit (location, scale) or to score (x - location) / scale. Also the
// rolling median. Every estimate is one of the kernels of extended.hpp; this
// file only chooses and combines them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/result.hpp"
#include "kernels/robust/extended.hpp"

namespace ms::kernels::robust {

enum class ScalePolicy : uint8_t {
    Mad = 0,            // raw MAD
    MadConsistent = 1,  // MAD x 1.482602218505602
    Iqr = 2,
    Qn = 3,
};

struct LocationPolicy {
    enum class Tag : uint8_t { Median = 0, TrimmedMean = 1, Huber = 2 };
    Tag tag = Tag::Median;
    ScalePolicy huber_scale = ScalePolicy::MadConsistent;  // Huber only
    double param = 0.0;                                    // c for Huber, trim for TrimmedMean
    uint64_t max_iter = 0;                                 // Huber only
    double tol = 0.0;                                      // Huber only
};

// Holds no strings: applying it does no string work.
struct RobustConfig {
    LocationPolicy location;
    ScalePolicy scale = ScalePolicy::MadConsistent;
};

// ---------------------------------------------------------------- parsing

// Names match exactly: case and blanks count.
Result<ScalePolicy> parse_scale_policy(std::string_view scale, bool mad_consistent);

// "huber" parses the scale name first (its own scale estimate), so with it an
// invalid scale is reported from here. c, trim, max_iter and tol are taken as
// they are.
Result<LocationPolicy> parse_location_policy(std::string_view location, std::string_view scale,
                                             bool mad_consistent, double c, double trim, uint64_t max_iter,
                                             double tol);

// The location is parsed (and reported) before the scale.
Result<RobustConfig> parse_config(std::string_view location, std::string_view scale, bool mad_consistent, double c,
                                  double trim, uint64_t max_iter, double tol);

// ------------------------------------------------------------- estimates

struct Fit {
    double location, scale;
};

inline bool is_mad(ScalePolicy p) noexcept { return p == ScalePolicy::Mad || p == ScalePolicy::MadConsistent; }

inline double mad_scaled(double mad, ScalePolicy p) noexcept {
    return p == ScalePolicy::MadConsistent ? mad * kMadNormal : mad;
}

// Scale estimate of n >= 1 values; NaN with any NaN, and below two values for
// the IQR and Qn.
double compute_scale(std::span<const double> x, ScalePolicy p);

// The median together with a scale estimate: the MAD policies reuse the one
// median they need anyway.
Fit median_and_scale(std::span<const double> x, ScalePolicy p);

// The Huber location from the median mu and the scale s of x. A scale that is
// 0, infinite or NaN, or no iterations, leaves the median. The tolerance is
// relative to s.
double huber_from(std::span<const double> x, double mu, double s, const LocationPolicy& p) noexcept;

// Location estimate of n >= 1 values.
double compute_location(std::span<const double> x, const LocationPolicy& p);

// (location, scale); (NaN, NaN) for no values. The median location and the
// Huber start share their median and scale with the scale estimate, which
// gives the same values as computing each on its own.
Fit robust_fit_slice(std::span<const double> x, const RobustConfig& cfg);

// (x_i - location) / scale; all NaN when the scale is 0, infinite or NaN. No
// values give one NaN, not an empty result.
Buf<double> robust_score_slice(std::span<const double> x, const RobustConfig& cfg);

// ------------------------------------------------------- rolling median

// out[i] = the median of x[i - w + 1], ..., x[i] for i >= w - 1, the value
// `median_inplace` gives for a copy of that window (NaN when the window holds
// a NaN); positions before the first full window, every position when w = 0
// or w > n, are NaN.
void rolling_median_into(std::span<const double> x, size_t w, double* out);

}  // namespace ms::kernels::robust
