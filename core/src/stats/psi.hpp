#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>
#include "../error.hpp"

namespace morvanta {

// Population stability index of `current` against `baseline`, with B = n_bins
// bins cut at the baseline's own quantiles (edge k = sorted[trunc((k / B) * N_b)],
// repeated values giving repeated edges) and proportions smoothed by eps.
// Checks, in order: n_bins >= 2, eps > 0, N_b >= n_bins, N_c >= 1.
// NaN sorts after every number: a NaN current value counts in the last bin, and a
// baseline holding NaN still gives a value (NaN edges make the bin search send
// values to the upper bins), never a crash.
Result<double> psi(std::span<const double> baseline, std::span<const double> current, std::size_t n_bins, double eps);

// The same, for a baseline the caller has already sorted (NaN last). Counts do not
// depend on order, so only `sorted_baseline` is read; `baseline` must hold the
// same values.
Result<double> psi_presorted(std::span<const double> baseline, std::span<const double> sorted_baseline,
                             std::span<const double> current, std::size_t n_bins, double eps);

// The same with both samples already sorted (NaN last): counting then needs no
// per-value bin search.
Result<double> psi_sorted(std::span<const double> sorted_baseline, std::span<const double> sorted_current,
                          std::size_t n_bins, double eps);

namespace psi_detail {
// Bin of x among the non-decreasing `edges` (B - 1 of them): the number of edges
// <= x found by bisection; NaN goes to the last bin.
std::size_t bin_of(double x, std::span<const double> edges) noexcept;

// The pieces psi_sorted is made of, for callers that keep a baseline's edges and
// counts and score many current windows against them with the same bits.
// The argument checks, in the order above; an error when the index cannot be formed.
std::optional<DriftError> check(std::size_t n_base, std::size_t n_cur, std::size_t n_bins, double eps);
// The B - 1 quantile edges of a sorted (NaN last), non-empty sample.
std::vector<double> quantile_edges(std::span<const double> sorted, std::size_t n_bins);
// Adds the bin counts of a sample in any order.
void count_unsorted(std::span<const double> values, std::span<const double> edges, std::uint64_t* counts);
// Adds the bin counts of a sorted (NaN last) sample to counts[0..B).
void count_sorted(std::span<const double> sorted, std::span<const double> edges, std::uint64_t* counts);
// The smoothed index from both windows' counts; NumericalInstability when not finite.
Result<double> finish(const std::uint64_t* cb, const std::uint64_t* cc, std::size_t n_base, std::size_t n_cur,
                      std::size_t n_bins, double eps);
}  // namespace psi_detail

}  // namespace morvanta
