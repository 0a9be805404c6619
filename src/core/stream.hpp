// Cache-line placement and vector stores that can bypass the caches, for
// values that every thread of a team reads next. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ms::core {

using Vec4 = double __attribute__((vector_size(32)));

// Doubles in a 64-byte cache line.
constexpr size_t kLineDoubles = 64 / sizeof(double);

// The first address at or after p (from an allocation with kLineDoubles
// doubles to spare) that starts a cache line.
inline double* line_start(double* p) noexcept {
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    return p + (64 - at % 64) % 64 / sizeof(double);
}

// Stores v at d (16-byte aligned). With `stream`, past the caches: when every
// thread of a team reads the values next, a line that another core must
// first take from this core's cache costs more than one from memory.
__attribute__((always_inline)) inline void store4(double* d, Vec4 v, bool stream) noexcept {
#if defined(__SSE2__)
    if (stream) {
        double lanes[4];
        std::memcpy(lanes, &v, sizeof lanes);
        _mm_stream_pd(d, _mm_loadu_pd(lanes));
        _mm_stream_pd(d + 2, _mm_loadu_pd(lanes + 2));
        return;
    }
#endif
    std::memcpy(d, &v, sizeof v);
}

// Orders the streamed stores before the work item reports itself done.
inline void end_stream(bool stream) noexcept {
#if defined(__SSE2__)
    if (stream) _mm_sfence();
#else
    (void)stream;
#endif
}

}  // namespace ms::core
