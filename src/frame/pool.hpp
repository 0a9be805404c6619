// The process-wide worker pool (OpenMP) and when it may be used.
#pragma once

#include <pthread.h>

#include <atomic>

namespace ms {

// The pool's threads do not survive fork(): a child that entered a parallel
// region would wait for them forever. Once the pool has been used, a forked
// child runs its loops on the calling thread instead (same results: every
// parallel loop splits independent items only).
inline std::atomic<bool> g_pool_lost_in_fork{false};

inline bool pool_usable() noexcept {
    static const bool watched = [] {
        pthread_atfork(nullptr, nullptr, [] { g_pool_lost_in_fork.store(true, std::memory_order_relaxed); });
        return true;
    }();
    return watched && !g_pool_lost_in_fork.load(std::memory_order_relaxed);
}

}  // namespace ms
