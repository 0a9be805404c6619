// When running sums have to be summed afresh from the window's values.
//
// Sums that slide by adding the entering term and removing the leaving one
// keep the rounding of every term they ever held. After a value far larger
// than the rest has left the window, or once the data have moved far from the
// shift the sums were built around, what is left of the spread
// n * S2 - S1^2 is only a small part of the squares the sums carried, and the
// rounding can be all of it. The sums then start again from the window, around
// a shift taken from the window itself.
#pragma once

#include <cstddef>

namespace ms::kernels::rolling {

// The share of the largest sum of squares (since the sums were built) below
// which a spread is no longer trusted: 2^-8 keeps the rounding of that largest
// sum, a few ulps, under 1e-13 of the spread. A window of n values summed
// around one of its own values holds at least 1/n of its squares as spread, so
// for long windows the share is halved against that: a rebuilt window never
// asks to be rebuilt again.
inline double trusted_share(size_t n) noexcept {
    const double half = 0.5 / static_cast<double>(n);
    return half < 0x1p-8 ? half : 0x1p-8;
}

// n * S2 - S1 * S1 (n times the spread of n values shifted by a common value)
// below `share` of n * peak, with peak the largest S2 since the sums were
// built. False for non-finite sums, which have their own rule.
inline bool spread_lost(double n, double s1, double s2, double peak, double share) noexcept {
    return n * s2 - s1 * s1 < n * share * peak;
}

// The same test for a sum of magnitudes (or of any terms that do not cancel
// each other): the sum below `share` of its largest value.
inline bool magnitude_lost(double sum, double peak, double share) noexcept { return sum < share * peak; }

}  // namespace ms::kernels::rolling
