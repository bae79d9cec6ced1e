// Process-wide worker pool for the blocking data-parallel sums of the core.
//
// The pool starts lazily on first use with one worker per hardware thread. A sum
// over [0, count) is split by halving down to a grain that depends only on
// `count`; every leaf adds its rows in index order and the two halves of each
// split are combined by one addition, so the result is bit-identical whatever the
// number of workers and whoever runs which leaf. The calling thread takes part in
// its own sum and waits for it, so a sum always finishes, even with no workers.
//
// Fork: the child forgets the parent's workers (they do not exist there) and starts
// a fresh pool on next use. Exit: the pool is never destroyed, so exit() with
// sleeping workers neither joins nor tears down anything they wait on.
#pragma once

#include <cstddef>
#include <exception>

namespace morvanta {

// Worker count for pools started from now on; 0 restores one per hardware thread.
// A running pool is stopped (its workers finish their current leaf and are joined)
// and the next sum starts a new one. Meant for tests and benchmarks.
void pool_set_threads(std::size_t n);

// The worker count a pool started now would have.
std::size_t pool_threads();

// Leaf size of the split of [0, count): ranges of at most this many indices are
// not split further. Depends on `count` alone.
std::size_t pool_grain(std::size_t count);

// Outcome of one parallel sum: the value, or the exception a leaf raised (the
// first one recorded), which the caller rethrows or reports on its own thread.
struct PoolSum {
    double value = 0.0;
    std::exception_ptr fault;
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
        count,
        [](const void* c, std::size_t b, std::size_t e) -> double { return (*static_cast<const F*>(c))(b, e); },
        &leaf);
}

}  // namespace morvanta
