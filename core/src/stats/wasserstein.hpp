#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include "../error.hpp"
#include "../matrix.hpp"

namespace morvanta {

// 1-Wasserstein distance between two empirical distributions.
// A NaN in either sample gives NumericalInstability ("wasserstein_1d").
Result<double> wasserstein_1d(std::span<const double> a, std::span<const double> b);

// Mean of wasserstein_1d over `n_projections` seeded random unit directions.
// A projection that comes out NaN gives NumericalInstability ("sliced_wasserstein").
Result<double> sliced_wasserstein(ViewF32 x, ViewF32 y, std::size_t n_projections, std::uint64_t seed);

}  // namespace morvanta
