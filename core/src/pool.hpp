// Process-wide worker pool for the blocking data-parallel loops of the core.
//
// The pool starts lazily on first use with one thread per hardware thread: the
// caller of a loop works on it alongside the pool's background workers. A sum
// over [0, count) is split by halving down to a grain that depends only on
// `count`; every leaf adds its rows in index order and the two halves of each
// split are combined by one addition, so the result is bit-identical whatever the
// number of workers and whoever runs which leaf. The calling thread takes part in
// its own sum and waits for it, so a sum always finishes, even with no workers.
// A parallel for writes disjoint outputs, so its split cannot show in any result.
//
// Cancellation: a loop started inside a CancelScope hands the caller's source to
// every leaf. While the caller waits for leaves that other threads run it keeps
// polling, so an interrupt is noticed within one poll interval; once the flag is
// up the leaves not yet started are skipped, the loop still completes (every leaf
// is accounted for) and the pool stays ready for the next one.
//
// Fork: the child forgets the parent's workers (they do not exist there) and starts
// a fresh pool on next use. Exit: the pool is never destroyed, so exit() with
// sleeping workers neither joins nor tears down anything they wait on.
#pragma once

#include <cstddef>
#include <exception>

namespace morvanta {

// Threads that work on each loop of pools started from now on: the caller and
// n - 1 background workers (1: everything on the calling thread); 0 restores one
// per hardware thread. A running pool is stopped (its workers finish their current
// leaf and are joined) and the next loop starts a new one. The count is one
// setting for the whole process: every library that links its own copy of the
// core (each extension module does) replaces its pool at its next loop. Meant for
// tests and benchmarks: no result depends on it.
void pool_set_threads(std::size_t n);

// The thread count (caller included) a pool started now would have.
std::size_t pool_threads();

// Leaf size of the split of [0, count): ranges of at most this many indices are
// not split further. Depends on `count` alone.
std::size_t pool_grain(std::size_t count);

// Outcome of one parallel sum: the value, or the exception a leaf raised (the
// first one recorded), which the caller rethrows or reports on its own thread.
// `cancelled`: the caller's call was interrupted meanwhile; leaves may have been
// skipped or cut short, so the value means nothing.
struct PoolSum {
    double value = 0.0;
    std::exception_ptr fault;
    bool cancelled = false;
};

// leaf(ctx, begin, end) returns the sum, added from zero in increasing index, of
// the terms of indices begin..end-1. It runs on any thread of the pool.
using PoolLeafFn = double (*)(const void* ctx, std::size_t begin, std::size_t end);

// Deterministic tree sum of all terms of [0, count), run on the pool while the
// caller waits (and works). count == 0 gives 0.0.
PoolSum pool_parallel_sum(std::size_t count, PoolLeafFn leaf, const void* ctx);

template <class F>
PoolSum pool_parallel_sum(std::size_t count, const F& leaf) {
    return pool_parallel_sum(
        count, [](const void* c, std::size_t b, std::size_t e) -> double { return (*static_cast<const F*>(c))(b, e); },
        &leaf);
}

// Outcome of one parallel for: the first exception a leaf raised, and whether the
// call was interrupted (some ranges may then be unprocessed or partly processed).
struct PoolRun {
    std::exception_ptr fault;
    bool cancelled = false;
    bool ok() const noexcept { return !fault && !cancelled; }
};

// body(ctx, begin, end) processes indices begin..end-1; ranges never overlap.
using PoolRangeFn = void (*)(const void* ctx, std::size_t begin, std::size_t end);

// Runs body over [0, count) in ranges of `grain` indices (the last one shorter),
// spread over the pool while the caller waits and works. Each range is processed
// by one thread; bodies must write disjoint outputs, which makes the outcome
// independent of the worker count. grain 0 counts as 1.
PoolRun pool_parallel_for(std::size_t count, std::size_t grain, PoolRangeFn body, const void* ctx);

template <class F>
PoolRun pool_parallel_for(std::size_t count, std::size_t grain, const F& body) {
    return pool_parallel_for(
        count, grain, [](const void* c, std::size_t b, std::size_t e) { (*static_cast<const F*>(c))(b, e); }, &body);
}

}  // namespace morvanta
