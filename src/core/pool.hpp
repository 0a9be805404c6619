// The process-wide worker pool (OpenMP) and when it may be used.
#pragma once

#include <pthread.h>

#include <atomic>

namespace ms {

// The pool's threads do not survive fork(): a child that entered a parallel
// region would wait for them forever, and the pool may already have been
// started by another library sharing the OpenMP runtime. So a child forked
// at any time after import runs its loops on the calling thread instead
// (same results: every parallel loop splits independent items only).
inline std::atomic<bool> g_pool_lost_in_fork{false};

// Registers the fork handler once; the module calls it at import.
inline void watch_fork() noexcept {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { g_pool_lost_in_fork.store(true, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
}

inline bool pool_usable() noexcept {
    watch_fork();
    return !g_pool_lost_in_fork.load(std::memory_order_relaxed);
}

}  // namespace ms
