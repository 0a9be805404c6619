#include "core/parallel.hpp"

#include <linux/futex.h>
#include <omp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>

#include "core/pool.hpp"

namespace ms::core {
namespace {

using detail::ChunkFn;

constexpr uint64_t kLow = 0xffffffffu;
constexpr unsigned kMostThreads = 255;
// How long an idle worker polls for the next section before it sleeps, and
// how long the caller polls for the chunks still running on workers. Calls
// in a row (the products of one matrix power) then find their workers awake.
constexpr auto kWorkerSpin = std::chrono::microseconds(100);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void futex_wait(std::atomic<uint32_t>& word, uint32_t seen) noexcept {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

void futex_wake(std::atomic<uint32_t>& word, uint32_t count) noexcept {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Polls `ready` for `limit`, checking the clock every 64 rounds.
template <class Ready>
bool spin_until(Ready&& ready, std::chrono::microseconds limit) noexcept {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        cpu_relax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() - start > limit) return false;
    }
}

// One section at a time. Each section has an epoch; the words a worker reads
// carry it in their high 32 bits, so a worker that wakes after its section
// ended (or while the next one is being set up) sees a stale epoch and
// leaves without touching anything but these atomics.
struct Pool {
    std::atomic<uint64_t> head{0};   // epoch | chunks
    std::atomic<uint64_t> next{0};   // epoch | next unclaimed chunk
    std::atomic<uint64_t> slots{0};  // epoch | team << 16 | slots taken
    std::atomic<ChunkFn> fn{nullptr};
    std::atomic<void*> ctx{nullptr};
    std::atomic<uint32_t> done{0};  // chunks finished in this section
    std::atomic<uint32_t> caller_sleeps{0};
    std::atomic<uint32_t> tokens{0};  // wake-ups not yet taken by a worker
    std::atomic<uint32_t> sleepers{0};
    std::atomic<bool> busy{false};
    std::atomic<unsigned> workers{0};
    std::mutex grow;
    uint32_t epoch = 0;  // written by the holder of `busy` only

    void take_token() noexcept {
        for (;;) {
            auto grab = [&] {
                uint32_t t = tokens.load(std::memory_order_relaxed);
                while (t > 0)
                    if (tokens.compare_exchange_weak(t, t - 1, std::memory_order_acquire)) return true;
                return false;
            };
            if (spin_until(grab, kWorkerSpin)) return;
            sleepers.fetch_add(1, std::memory_order_seq_cst);
            if (tokens.load(std::memory_order_seq_cst) == 0) futex_wait(tokens, 0);
            sleepers.fetch_sub(1, std::memory_order_seq_cst);
        }
    }

    void give_tokens(uint32_t count) noexcept {
        tokens.fetch_add(count, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) > 0) futex_wake(tokens, count);
    }

    void finish_chunks(uint32_t count, uint32_t chunks) noexcept {
        if (done.fetch_add(count, std::memory_order_seq_cst) + count == chunks &&
            caller_sleeps.load(std::memory_order_seq_cst))
            futex_wake(done, 1);
    }

    // A worker joins the current section if it is still open and has a
    // free slot, and claims chunks until none is left.
    void join() noexcept {
        const uint64_t h = head.load(std::memory_order_acquire);
        const uint64_t e = h >> 32;
        const uint64_t chunks = h & kLow;
        unsigned slot;
        for (uint64_t s = slots.load(std::memory_order_relaxed);;) {
            const uint64_t team = (s >> 16) & 0xffff, used = s & 0xffff;
            if ((s >> 32) != e || used >= team) return;
            if (slots.compare_exchange_weak(s, s + 1, std::memory_order_relaxed)) {
                slot = static_cast<unsigned>(used);
                break;
            }
        }
        for (uint64_t t = next.load(std::memory_order_relaxed);;) {
            if ((t >> 32) != e || (t & kLow) >= chunks) return;
            if (!next.compare_exchange_weak(t, t + 1, std::memory_order_acquire, std::memory_order_relaxed))
                continue;
            // The claim synchronises with the caller's opening of the
            // section, and the caller waits for this chunk: fn and ctx are
            // this section's.
            fn.load(std::memory_order_relaxed)(ctx.load(std::memory_order_relaxed), t & kLow, slot);
            finish_chunks(1, static_cast<uint32_t>(chunks));
            t = next.load(std::memory_order_relaxed);
        }
    }

    static void* worker(void* self) {
        Pool* p = static_cast<Pool*>(self);
        for (;;) {
            p->take_token();
            p->join();
        }
        return nullptr;
    }

    // Starts workers until there are `want` (or thread creation fails).
    unsigned ensure(unsigned want) noexcept {
        unsigned have = workers.load(std::memory_order_acquire);
        if (have >= want) return have;
        std::lock_guard<std::mutex> lock(grow);
        have = workers.load(std::memory_order_relaxed);
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);  // workers never take signals
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        for (; have < want; ++have) {
            pthread_t th;
            if (pthread_create(&th, &attr, &Pool::worker, this) != 0) break;
        }
        pthread_attr_destroy(&attr);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        workers.store(have, std::memory_order_release);
        return have;
    }
};

// Never destroyed: detached workers use it until the process ends.
Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}

}  // namespace

unsigned max_team() noexcept {
    if (!pool_usable()) return 1;
    return static_cast<unsigned>(std::clamp(omp_get_max_threads(), 1, static_cast<int>(kMostThreads)));
}

unsigned team_for(double units, double units_per_ms, size_t items) noexcept {
    const double want = std::floor(units / units_per_ms);
    if (!(want >= 2.0) || items < 2) return 1;
    const double most = std::min(static_cast<double>(items), static_cast<double>(max_team()));
    return static_cast<unsigned>(std::min(want, most));
}

namespace detail {

void run_chunks(unsigned team, size_t chunks, ChunkFn fn, void* ctx) {
    team = static_cast<unsigned>(std::min<size_t>({team, chunks, kMostThreads}));
    Pool* p = nullptr;
    if (team > 1 && chunks <= (kLow >> 1) && pool_usable()) {
        p = &pool();
        bool idle = false;
        if (!p->busy.compare_exchange_strong(idle, true, std::memory_order_acquire)) p = nullptr;
    }
    if (p) {
        team = std::min(team, p->ensure(team - 1) + 1);
        if (team < 2) {
            p->busy.store(false, std::memory_order_release);
            p = nullptr;
        }
    }
    if (!p) {
        for (size_t c = 0; c < chunks; ++c) fn(ctx, c, 0);
        return;
    }
    const uint32_t n = static_cast<uint32_t>(chunks);
    const uint64_t e = static_cast<uint64_t>(++p->epoch) << 32;
    p->done.store(0, std::memory_order_relaxed);
    p->fn.store(fn, std::memory_order_relaxed);
    p->ctx.store(ctx, std::memory_order_relaxed);
    p->slots.store(e | (uint64_t{team} << 16) | 1, std::memory_order_relaxed);  // slot 0 is the caller's
    p->head.store(e | n, std::memory_order_release);
    p->next.store(e, std::memory_order_release);  // opens the section
    p->give_tokens(team - 1);

    uint32_t mine = 0;
    for (;;) {
        const uint64_t c = p->next.fetch_add(1, std::memory_order_acquire) & kLow;
        if (c >= n) break;
        fn(ctx, c, 0);
        ++mine;
    }
    if (mine) p->finish_chunks(mine, n);
    // Only chunks that workers have started remain.
    auto all_done = [&] { return p->done.load(std::memory_order_acquire) == n; };
    if (!spin_until(all_done, kCallerSpin)) {
        for (;;) {
            p->caller_sleeps.store(1, std::memory_order_seq_cst);
            const uint32_t d = p->done.load(std::memory_order_seq_cst);
            if (d == n) break;
            futex_wait(p->done, d);
        }
        p->caller_sleeps.store(0, std::memory_order_relaxed);
        (void)p->done.load(std::memory_order_acquire);
    }
    // Wake-ups no worker took are not needed any more.
    p->tokens.exchange(0, std::memory_order_relaxed);
    p->busy.store(false, std::memory_order_release);
}

}  // namespace detail
}  // namespace ms::core
