// The one parallel driver of every kernel that spreads independent items over
// the process-wide worker pool. Python-free.
//
// A parallel section is a count of chunks, each run exactly once by one
// thread. The calling thread takes part: it claims unstarted chunks from the
// same atomic counter as the workers, so it never waits for a worker that the
// system has not scheduled yet; it waits only for chunks that a worker has
// already started. Results depend on the split only if the body lets them.
#pragma once

#include <cstddef>
#include <type_traits>

namespace ms::core {

// Threads a section may use at most: the configured thread count
// (OMP_NUM_THREADS, else the number of processors), or 1 where the pool
// cannot be used (a forked child, threads that could not be started).
unsigned max_team() noexcept;

// A team that gives each thread about a millisecond of work: `units` of work
// at `units_per_ms`, never more threads than `items` nor than max_team().
// A worker that wakes late then costs at most a fraction of the call.
unsigned team_for(double units, double units_per_ms, size_t items) noexcept;

namespace detail {
using ChunkFn = void (*)(void* ctx, size_t chunk, unsigned slot) noexcept;
void run_chunks(unsigned team, size_t chunks, ChunkFn fn, void* ctx);
}  // namespace detail

// Runs body(chunk, slot) for every chunk in [0, chunks) and returns when all
// are done. slot < team names the thread (the caller is slot 0), for
// per-thread scratch; no two running chunks share a slot. With team <= 1, a
// single chunk, or when the pool is already running a section (a nested or a
// concurrent call), every chunk runs on the calling thread in ascending order.
// The body must not throw.
template <class Body>
void run_chunks(unsigned team, size_t chunks, Body&& body) {
    using B = std::remove_reference_t<Body>;
    detail::run_chunks(
        team, chunks, [](void* ctx, size_t c, unsigned slot) noexcept { (*static_cast<B*>(ctx))(c, slot); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// Splits [0, items) into about `per_thread` chunks per team member (whole
// items, consecutive ranges) and runs body(lo, hi, slot) on each range.
template <class Body>
void run_ranges(unsigned team, size_t items, size_t per_thread, Body&& body) {
    if (items == 0) return;
    const size_t want = team <= 1 ? 1 : static_cast<size_t>(team) * (per_thread ? per_thread : 1);
    const size_t step = (items + want - 1) / want;
    const size_t chunks = (items + step - 1) / step;
    run_chunks(team, chunks, [&](size_t c, unsigned slot) {
        const size_t lo = c * step;
        body(lo, lo + step < items ? lo + step : items, slot);
    });
}

}  // namespace ms::core
