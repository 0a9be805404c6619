// PCG64 (XSL-RR 128/64): the one random generator of the resampling
// functions. Seeded results are part of their interface, so every step here
// is fixed bit for bit: the LCG step, the output permutation, the expansion
// of a 64-bit seed into state and increment, and the draws built on outputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

namespace ms::kernels::resampling {

class Pcg64 {
public:
    using u128 = unsigned __int128;
    static constexpr u128 kMul = (u128{0x2360ED051FC65DA4ULL} << 64) | 0x4385DF649FCCF645ULL;

    // Expands a 64-bit seed into 256 bits of state with a 32-bit PCG stream,
    // then takes the first step so the generator is ready to output.
    static Pcg64 seeded(uint64_t s) noexcept {
        constexpr uint64_t A = 0x5851F42D4C957F2DULL;
        constexpr uint64_t K = 0xA17654E46FBE17F3ULL;
        uint32_t w[8];
        uint64_t t = s;
        for (uint32_t& word : w) {
            t = t * A + K;
            word = std::rotr(static_cast<uint32_t>((t >> 45) ^ (t >> 27)), static_cast<int>(t >> 59));
        }
        auto join = [](const uint32_t* q) {
            return (u128{q[3]} << 96) | (u128{q[2]} << 64) | (u128{q[1]} << 32) | u128{q[0]};
        };
        Pcg64 g;
        g.inc_ = join(w + 4) | 1;
        g.state_ = join(w) + g.inc_;
        g.step();
        return g;
    }

    uint64_t next() noexcept {
        step();
        uint64_t hi = static_cast<uint64_t>(state_ >> 64);
        uint64_t lo = static_cast<uint64_t>(state_);
        return std::rotr(hi ^ lo, static_cast<int>(hi >> 58));
    }

    // Unbiased integer in [0, n), n >= 1: widening multiply, rejecting the
    // outputs whose low half falls in the biased zone.
    uint64_t below(uint64_t n) noexcept {
        const uint64_t zone = (n << std::countl_zero(n)) - 1;
        for (;;) {
            u128 m = u128{next()} * n;
            if (static_cast<uint64_t>(m) <= zone) return static_cast<uint64_t>(m >> 64);
        }
    }

    // Uniform double in [0, 1) from the top 53 bits of one output.
    double uniform() noexcept { return static_cast<double>(next() >> 11) * 0x1p-53; }

    // Standard exponential variate; the floor keeps it finite when u is 0.
    double exp_weight() noexcept { return -std::log(std::fmax(uniform(), 1e-15)); }

    // Fisher-Yates from the top.
    void shuffle(std::span<double> v) noexcept {
        for (size_t j = v.size(); j-- > 1;) std::swap(v[j], v[below(j + 1)]);
    }

private:
    void step() noexcept { state_ = state_ * kMul + inc_; }
    u128 state_ = 0;
    u128 inc_ = 1;
};

// Each replicate of a parallel loop gets its own generator from the call's
// seed and its index, so its draws never depend on how the loop is split.
inline constexpr uint64_t kSeedMix = 0x9E3779B97F4A7C15ULL;
inline uint64_t replicate_seed(uint64_t seed, uint64_t i) noexcept { return seed * kSeedMix + i; }

}  // namespace ms::kernels::resampling
