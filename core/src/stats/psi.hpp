#pragma once
#include <cstddef>
#include <span>
#include "../error.hpp"

namespace morvanta {

// Population stability index of `current` against `baseline`, with B = n_bins
// bins cut at the baseline's own quantiles (edge k = sorted[trunc((k / B) * N_b)],
// repeated values giving repeated edges) and proportions smoothed by eps.
// Checks, in order: n_bins >= 2, eps > 0, N_b >= n_bins, N_c >= 1.
// NaN sorts after every number: a NaN current value counts in the last bin, and a
// baseline holding NaN still gives a value (NaN edges make the bin search send
// values to the upper bins), never a crash.
Result<double> psi(std::span<const double> baseline, std::span<const double> current, std::size_t n_bins,
                   double eps);

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
}  // namespace psi_detail

}  // namespace morvanta
