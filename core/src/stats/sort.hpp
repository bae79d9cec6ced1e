#pragma once
#include <cstddef>
#include <span>
#include <vector>

namespace morvanta {

// Sorts ascending by the ordinary less-than, with every NaN moved after all
// numbers (+inf included). Equal-comparing values (-0.0, +0.0) keep no particular
// order; callers only compare values, so that is immaterial to every result.
void sort_nan_last(std::span<double> v);

// Copy of `v`, sorted as above.
std::vector<double> sorted_copy(std::span<const double> v);

}  // namespace morvanta
