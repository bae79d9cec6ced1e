#include "detectors.hpp"
namespace morvanta {
Result<DriftScore> ResponseDriftDetector::detect(std::span<const double>, std::span<const double>) const {
    return make_score(Dimension::Response, 0.0, threshold, "ks(length)");
}
Result<DriftScore> ResponseDriftDetector::detect_with_embeddings(std::span<const double>, std::span<const double>,
                                                                 ViewF32, ViewF32) const {
    return make_score(Dimension::Response, 0.0, threshold, "ks(length)+sw(emb)");
}
}  // namespace morvanta
