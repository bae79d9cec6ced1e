#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "../error.hpp"
#include "../matrix.hpp"

namespace morvanta {

struct KMeansResult {
    std::vector<std::size_t> labels;  // from the last assignment step
    MatrixF32 centroids;              // after the last update step
    double inertia = 0.0;             // of the last assignment step
    std::size_t iterations = 0;       // Lloyd iterations run
};

// Seeded k-means++ followed by Lloyd iterations, in 32-bit arithmetic; rows must
// be contiguous (any row stride). Fails with InvalidConfig for k = 0 or k > n, and
// with NumericalInstability("kmeans") when the computation leaves the float range:
// a NaN or infinite value anywhere in `data` (for every k), squared distances
// that overflow, or centroid sums that overflow.
Result<KMeansResult> kmeans(ViewF32 data, std::size_t k, std::size_t max_iter, std::uint64_t seed, float tol);

// Nearest centroid of every row, ties to the lower index, a row without any
// finite-or-infinite winner (all NaN) to 0. The caller matches the column counts;
// centroids of another width, like no centroids at all, leave every label at 0.
std::vector<std::size_t> assign_clusters(ViewF32 data, ViewF32 centroids);

}  // namespace morvanta
