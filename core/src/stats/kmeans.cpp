#include "kmeans.hpp"
namespace morvanta {
Result<KMeansResult> kmeans(ViewF32, std::size_t, std::size_t, std::uint64_t, float) {
    return DriftError::invalid_config("kmeans: not built");
}
std::vector<std::size_t> assign_clusters(ViewF32 data, ViewF32) { return std::vector<std::size_t>(data.rows, 0); }
}  // namespace morvanta
