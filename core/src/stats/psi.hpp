#pragma once
#include <cstddef>
#include <span>
#include "../error.hpp"

namespace morvanta {

// Population stability index with the baseline's quantile bins.
Result<double> psi(std::span<const double> baseline, std::span<const double> current, std::size_t n_bins,
                   double eps);

// The same, for a baseline the caller has already sorted (NaN last).
Result<double> psi_presorted(std::span<const double> baseline, std::span<const double> sorted_baseline,
                             std::span<const double> current, std::size_t n_bins, double eps);

}  // namespace morvanta
