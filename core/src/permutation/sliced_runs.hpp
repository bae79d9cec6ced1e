// The sliced-distance walk of the permutations, eight splits per pass over one
// direction's sorted values, compiled once per instruction set. Every lane keeps
// the scalar walk's order of operations, so every path gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvanta::permutation::detail {

// W1 between the two sides of eight splits along one direction (w[q], q < 8).
// `order` and `gaps` are the direction's pooled sorted order and gaps (gaps[k] =
// values[k + 1] - values[k] where a run of equal values ends at k, else 0);
// bit q of lanes[row] is set when split q puts that pooled row on the baseline
// side; `shares` holds i / m for i = 0 .. m, then j / n for j = 0 .. n. For
// every position k, i baseline rows and j = k + 1 - i others lie at or below it,
// and where the gap is not 0, gap * |i / m - j / n| (the two shares subtracted)
// is added when that weight is not 0. Every lane must describe a split of m
// baseline rows.
using SlicedRunsFn = void (*)(std::size_t total, const std::uint32_t* order, const double* gaps, const double* shares,
                              std::size_t m, const std::uint8_t* lanes, double* w);

void sliced_runs_portable(std::size_t, const std::uint32_t*, const double*, const double*, std::size_t,
                          const std::uint8_t*, double*);
void sliced_runs_avx2(std::size_t, const std::uint32_t*, const double*, const double*, std::size_t, const std::uint8_t*,
                      double*);
void sliced_runs_avx512(std::size_t, const std::uint32_t*, const double*, const double*, std::size_t,
                        const std::uint8_t*, double*);

// The widest path the CPU runs.
SlicedRunsFn sliced_runs_active();

}  // namespace morvanta::permutation::detail
