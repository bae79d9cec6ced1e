#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "../error.hpp"
#include "../matrix.hpp"

namespace morvanta {

struct KMeansResult {
    std::vector<std::size_t> labels;
    MatrixF32 centroids;
    double inertia = 0.0;
    std::size_t iterations = 0;
};

// Seeded k-means++ followed by Lloyd iterations, in 32-bit arithmetic.
Result<KMeansResult> kmeans(ViewF32 data, std::size_t k, std::size_t max_iter, std::uint64_t seed, float tol);

// Nearest centroid of every row, ties to the lower index.
std::vector<std::size_t> assign_clusters(ViewF32 data, ViewF32 centroids);

}  // namespace morvanta
