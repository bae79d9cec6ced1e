#include "pool.hpp"

#include "cancel.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace morvanta {

namespace pool_detail {

// The requested thread count (generation << 32 | count, count 0 = one per hardware
// thread), one object for the whole process. Each extension module links its own
// copy of the core, with its own pool; a count set through one must reach them
// all. A static of an inline function with default visibility is a unique symbol,
// which the dynamic linker binds to a single instance across libraries.
[[gnu::visibility("default")]] inline std::atomic<std::uint64_t>& shared_request() noexcept {
    static std::atomic<std::uint64_t> request{0};
    return request;
}

}  // namespace pool_detail

namespace {

struct Leaf {
    std::size_t begin;
    std::size_t end;
};

// The caller's cancellation poll may end its thread (a Python thread still inside
// a call when the interpreter finalizes is unwound by the C library). Functions
// that catch that unwind to finish their job first carry this attribute: the
// unwind has no C++ exception object, which the undefined-behaviour sanitizer
// would flag.
#define MORVANTA_POOL_PASSES_FORCED_UNWIND __attribute__((no_sanitize_undefined))

// How often a caller waiting for other threads' leaves looks for an interrupt;
// the cancellation source rate-limits the actual poll.
constexpr std::chrono::milliseconds kWaitPoll{10};

// One parallel sum in flight. Lives on the caller's stack; every field except the
// leaf bodies' work is read and written under the pool mutex. Once `finished`
// reaches `count` no worker touches the job again.
struct Job {
    PoolLeafFn fn = nullptr;
    const void* ctx = nullptr;
    const Leaf* leaves = nullptr;
    double* results = nullptr;
    std::size_t count = 0;
    std::size_t next = 0;      // first unclaimed leaf
    std::size_t finished = 0;  // leaves whose result is recorded
    std::exception_ptr fault;
    CancelSource* cancel = nullptr;  // the caller's, seen by every leaf of the job
    Job* link = nullptr;             // queue of jobs with unclaimed leaves
};

class Pool {
public:
    explicit Pool(std::size_t workers) {
        // Workers must not take the process's asynchronous signals (the interpreter
        // expects them on its main thread); they inherit the mask set here.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            threads_.reserve(workers);
            for (std::size_t i = 0; i < workers; ++i)
                threads_.emplace_back([this] {
                    pthread_setname_np(pthread_self(), "morvanta-pool");  // as top -H and debuggers show it
                    work();
                });
        } catch (...) {
            // Fewer workers (possibly none) only means the callers do more of the work.
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        std::lock_guard<std::mutex> lk(mu_);
        workers_ = threads_.size();
    }

    // Runs every leaf of `job`, taking part in the work; returns when all are done.
    MORVANTA_POOL_PASSES_FORCED_UNWIND void run(Job& job) {
        std::unique_lock<std::mutex> lk(mu_);
        if (job.count > 1 && workers_ > 0 && !stopping_) {
            Job** tail = &head_;
            while (*tail) tail = &(*tail)->link;
            *tail = &job;
            work_cv_.notify_all();
        }
        const auto done = [&] { return job.finished == job.count; };
        try {
            while (job.next < job.count) {
                run_leaf(job, claim(job), lk);
            }
            if (!job.cancel) {
                done_cv_.wait(lk, done);
                return;
            }
            // Leaves still running elsewhere: keep looking for an interrupt meanwhile
            // (without the mutex: the poll may wait for the interpreter lock), so that
            // the flag reaches them and the wait stays short.
            while (!done_cv_.wait_for(lk, kWaitPoll, done)) {
                lk.unlock();
                (void)cancelled();
                lk.lock();
            }
        } catch (abi::__forced_unwind&) {
            // This thread is being ended inside a poll. The job lives on its stack and
            // other threads may still be running leaves of it: hand out no more, let
            // the running ones see the flag, and wait for them before unwinding on.
            if (!lk.owns_lock()) lk.lock();
            if (job.cancel) job.cancel->cancel();
            while (job.next < job.count) {
                claim(job);
                ++job.finished;
            }
            done_cv_.wait(lk, done);
            throw;
        }
    }

    // Tells the workers to stop without waiting for them (safe from any thread,
    // a worker of this pool included); jobs still queued are finished by their
    // callers and the workers end on their own after their current leaf.
    void stop() {
        std::lock_guard<std::mutex> lk(mu_);
        stopping_ = true;
        work_cv_.notify_all();
        for (auto& t : threads_) t.detach();
        threads_.clear();
    }

    // Stops and joins the workers; jobs still queued are finished by their callers.
    void retire() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            stopping_ = true;
            work_cv_.notify_all();
        }
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

private:
    // Claims the next leaf of `job` (mutex held); dequeues the job when exhausted.
    std::size_t claim(Job& job) {
        std::size_t idx = job.next++;
        if (job.next == job.count) {
            for (Job** p = &head_; *p; p = &(*p)->link) {
                if (*p == &job) {
                    *p = job.link;
                    break;
                }
            }
            job.link = nullptr;
        }
        return idx;
    }

    // Runs one leaf without the mutex and records its result with it (`lk` is held
    // on entry and on return, also when a forced unwind leaves).
    MORVANTA_POOL_PASSES_FORCED_UNWIND void run_leaf(Job& job, std::size_t idx, std::unique_lock<std::mutex>& lk) {
        lk.unlock();
        double v = 0.0;
        std::exception_ptr fault;
        try {
            // Once the call is interrupted the remaining leaves are only counted.
            // A worker sees the caller's cancellation flag but never polls for it;
            // the caller's thread polls in its own leaves (its scope is already
            // installed, so the one below changes nothing there).
            if (!job.cancel || !job.cancel->flag.load(std::memory_order_relaxed)) {
                const CancelScope scope(job.cancel, false);
                v = job.fn(job.ctx, job.leaves[idx].begin, job.leaves[idx].end);
            }
        } catch (abi::__forced_unwind&) {
            lk.lock();
            if (++job.finished == job.count) done_cv_.notify_all();
            throw;
        } catch (...) {
            fault = std::current_exception();
        }
        lk.lock();
        job.results[idx] = v;
        if (fault && !job.fault) job.fault = std::move(fault);
        if (++job.finished == job.count) done_cv_.notify_all();
    }

    void work() {
        std::unique_lock<std::mutex> lk(mu_);
        for (;;) {
            work_cv_.wait(lk, [&] { return stopping_ || head_ != nullptr; });
            if (stopping_) return;
            Job& job = *head_;
            run_leaf(job, claim(job), lk);
        }
    }

public:
    Pool* retired_next = nullptr;  // registry's list of pools no longer in use

private:
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    Job* head_ = nullptr;
    std::size_t workers_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Pools are never freed: a retired pool may still be referenced by a caller that
// is finishing its job, a pool inherited through fork has threads that do not
// exist, and at exit nothing must wait for or wake a sleeping worker. Retired
// pools stay listed so that they remain reachable, not leaked.
struct Registry {
    std::mutex mu;
    Pool* pool = nullptr;
    Pool* retired = nullptr;
    std::uint64_t seen = 0;  // the shared request the current pool was started for

    void retire_current() {  // mu held
        if (!pool) return;
        pool->retired_next = retired;
        retired = pool;
        pool = nullptr;
    }
};

Registry* g_registry = nullptr;

void before_fork() { g_registry->mu.lock(); }
void after_fork_parent() { g_registry->mu.unlock(); }
void after_fork_child() {
    // The parent's workers are not in this process; abandon that pool untouched and
    // let the next sum start a new one here.
    g_registry->retire_current();
    g_registry->mu.unlock();
}

Registry& registry() {
    static Registry* r = [] {
        auto* reg = new Registry;
        g_registry = reg;
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return reg;
    }();
    return *r;
}

std::size_t resolve_threads(std::uint64_t request) {
    const std::size_t requested = static_cast<std::size_t>(request & 0xFFFFFFFFu);
    if (requested != 0) return requested;
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

Pool* current_pool() {
    Registry& reg = registry();
    const std::uint64_t request = pool_detail::shared_request().load(std::memory_order_acquire);
    Pool* stale = nullptr;
    Pool* pool = nullptr;
    {
        std::lock_guard<std::mutex> lk(reg.mu);
        // A new thread count set through another copy of the core: start afresh.
        if (request != reg.seen) {
            reg.seen = request;
            stale = reg.pool;
            reg.retire_current();
        }
        // The caller works on its own loops, so it counts as one of the threads.
        if (!reg.pool) reg.pool = new Pool(resolve_threads(request) - 1);
        pool = reg.pool;
    }
    // Not joined: this may run on a worker of the stale pool (a loop inside a leaf).
    if (stale) stale->stop();
    return pool;
}

void split(std::size_t b, std::size_t e, std::size_t grain, std::vector<Leaf>& out) {
    if (e - b <= grain) {
        out.push_back({b, e});
        return;
    }
    std::size_t mid = b + (e - b) / 2;
    split(b, mid, grain, out);
    split(mid, e, grain, out);
}

// Mirrors `split`: combines the leaf results in the same tree, left + right.
double combine(std::size_t b, std::size_t e, std::size_t grain, const double* results, std::size_t& next) {
    if (e - b <= grain) return results[next++];
    std::size_t mid = b + (e - b) / 2;
    double left = combine(b, mid, grain, results, next);
    double right = combine(mid, e, grain, results, next);
    return left + right;
}

}  // namespace

void pool_set_threads(std::size_t n) {
    Registry& reg = registry();
    Pool* old = nullptr;
    {
        std::lock_guard<std::mutex> lk(reg.mu);
        // Generation in the high half, count in the low half: every call is a new
        // request, which the other copies' next loops see.
        auto& shared = pool_detail::shared_request();
        std::uint64_t cur = shared.load(std::memory_order_relaxed), next;
        do {
            next = (((cur >> 32) + 1) << 32) | (static_cast<std::uint64_t>(n) & 0xFFFFFFFFu);
        } while (!shared.compare_exchange_weak(cur, next, std::memory_order_acq_rel));
        reg.seen = next;
        old = reg.pool;
        reg.retire_current();
    }
    if (old) old->retire();
}

std::size_t pool_threads() { return resolve_threads(pool_detail::shared_request().load(std::memory_order_acquire)); }

std::size_t pool_grain(std::size_t count) {
    // Leaves of up to 16 rows let a leaf reuse each cached tile of the other sample
    // several times; small ranges are cut finer so that a few expensive rows still
    // spread over the workers.
    return std::clamp<std::size_t>(count / 8, 1, 16);
}

MORVANTA_POOL_PASSES_FORCED_UNWIND PoolSum pool_parallel_sum(std::size_t count, PoolLeafFn leaf, const void* ctx) {
    PoolSum out;
    if (count == 0) return out;
    try {
        const std::size_t grain = pool_grain(count);
        std::vector<Leaf> leaves;
        leaves.reserve(2 * (count / grain) + 2);
        split(0, count, grain, leaves);
        std::vector<double> results(leaves.size(), 0.0);

        Job job;
        job.fn = leaf;
        job.ctx = ctx;
        job.leaves = leaves.data();
        job.results = results.data();
        job.count = leaves.size();
        job.cancel = current_cancel_source();
        current_pool()->run(job);

        out.cancelled = job.cancel && job.cancel->flag.load(std::memory_order_relaxed);
        if (job.fault) {
            out.fault = job.fault;
            return out;
        }
        if (out.cancelled) return out;
        std::size_t next = 0;
        out.value = combine(0, count, grain, results.data(), next);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        out.fault = std::current_exception();
    }
    return out;
}

namespace {

struct ForCtx {
    PoolRangeFn body;
    const void* ctx;
};

double for_leaf(const void* c, std::size_t b, std::size_t e) {
    const auto& f = *static_cast<const ForCtx*>(c);
    f.body(f.ctx, b, e);
    return 0.0;
}

}  // namespace

MORVANTA_POOL_PASSES_FORCED_UNWIND PoolRun pool_parallel_for(std::size_t count, std::size_t grain, PoolRangeFn body,
                                                             const void* ctx) {
    PoolRun out;
    if (count == 0) return out;
    if (grain == 0) grain = 1;
    try {
        const std::size_t n_leaves = (count - 1) / grain + 1;
        std::vector<Leaf> leaves(n_leaves);
        for (std::size_t i = 0; i < n_leaves; ++i) leaves[i] = {i * grain, std::min(count, (i + 1) * grain)};
        std::vector<double> results(n_leaves, 0.0);
        const ForCtx fc{body, ctx};

        Job job;
        job.fn = for_leaf;
        job.ctx = &fc;
        job.leaves = leaves.data();
        job.results = results.data();
        job.count = n_leaves;
        job.cancel = current_cancel_source();
        current_pool()->run(job);

        out.fault = job.fault;
        out.cancelled = job.cancel && job.cancel->flag.load(std::memory_order_relaxed);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        out.fault = std::current_exception();
    }
    return out;
}

}  // namespace morvanta
