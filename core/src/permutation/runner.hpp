// Internal pieces shared by the permutation tests: the pooled sort, the labelled
// KS walk and the runner that spreads permutations over the worker pool.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "../cancel.hpp"
#include "../pool.hpp"
#include "permutation.hpp"

namespace morvanta::permutation::detail {

// A pooled sample sorted once: NaN after every number, runs of equal values
// (all NaN counting as equal) marked by their exclusive ends.
struct SortedPool {
    std::vector<double> values;        // ascending
    std::vector<std::uint32_t> order;  // pooled index of each sorted position
    std::vector<std::uint32_t> rank;   // sorted position of each pooled index
    std::vector<std::uint32_t> ends;   // exclusive end of every run of equal values
};

SortedPool sort_pool(std::span<const double> pooled);

// sup|F1 - F2| of the split given by `labels` (1 = baseline side, m rows; n rows
// on the other side): i and j advance past a whole run of equal pooled values
// before the gap |i * (1/m) - j * (1/n)| is measured, and the walk stops once a
// side is exhausted.
double ks_walk(const SortedPool& s, const std::uint8_t* labels, std::size_t m, std::size_t n) noexcept;

// The same walk with the labels already in sorted order (lab[k] for position k).
double ks_walk_sorted(const SortedPool& s, const std::uint8_t* lab, std::size_t m, std::size_t n) noexcept;

// Sorted-order labels of the given split.
inline void identity_sorted_labels(const SortedPool& s, std::size_t m, std::uint8_t* lab) noexcept {
    for (std::size_t k = 0; k < s.order.size(); ++k) lab[k] = s.order[k] < m ? 1 : 0;
}

// Labels of the given split: the first m pooled rows are the baseline.
inline void identity_labels(std::size_t n_total, std::size_t m, std::uint8_t* labels) noexcept {
    for (std::size_t i = 0; i < n_total; ++i) labels[i] = i < m ? 1 : 0;
}

// Runs `eval(rng, scratch, p)` once with rng == nullptr (the given split) and once
// per permutation p with Rng(child_seed(seed, p)); each permutation writes its own
// slot. `make()` builds one scratch per pool leaf.
template <class Make, class Eval>
Result<PermutationStats> run(std::size_t n_permutations, std::uint64_t seed, const Make& make, const Eval& eval) {
    PermutationStats out;
    {
        auto s = make();
        out.observed = eval(static_cast<Rng*>(nullptr), s, std::size_t{0});
    }
    out.permuted.assign(n_permutations, 0.0);
    double* slots = out.permuted.data();
    std::atomic<bool> stop{false};
    auto leaf = [&](std::size_t b, std::size_t e) -> double {
        auto s = make();
        for (std::size_t p = b; p < e; ++p) {
            if (stop.load(std::memory_order_relaxed) || cancelled()) {
                stop.store(true, std::memory_order_relaxed);
                return 0.0;
            }
            Rng rng(child_seed(seed, p));
            slots[p] = eval(&rng, s, p);
        }
        return 0.0;
    };
    const PoolSum r = pool_parallel_sum(n_permutations, leaf);
    if (r.fault) std::rethrow_exception(r.fault);
    if (stop.load() || cancelled()) return DriftError::cancelled();
    return out;
}

}  // namespace morvanta::permutation::detail
