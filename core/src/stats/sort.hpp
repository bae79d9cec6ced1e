#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvanta {

// Sorts ascending by the ordinary less-than, with every NaN moved after all
// numbers (+inf included). Equal-comparing values (-0.0, +0.0) keep no particular
// order; callers only compare values, so that is immaterial to every result.
// NaN bit patterns (sign, payload) are preserved, only their order among
// themselves is arbitrary.
void sort_nan_last(std::span<double> v);

// As above, reusing `scratch` as the radix buffer so that callers sorting many
// arrays (one per feature column, say) allocate it once.
void sort_nan_last(std::span<double> v, std::vector<std::uint64_t>& scratch);

// Copy of `v`, sorted as above.
std::vector<double> sorted_copy(std::span<const double> v);

// Number of non-NaN values at the front of an array sorted by sort_nan_last.
std::size_t count_numbers_sorted(std::span<const double> sorted) noexcept;

namespace sort_detail {

// Below this many numbers the comparison sort wins over the radix passes.
inline constexpr std::size_t kRadixMin = 1024;

// The two strategies behind sort_nan_last, exposed so that tests can check each
// one whatever the input size.
void radix_sort_nan_last(std::span<double> v, std::vector<std::uint64_t>& scratch);
void comparison_sort_nan_last(std::span<double> v);

}  // namespace sort_detail

}  // namespace morvanta
