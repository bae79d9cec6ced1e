#include "detectors.hpp"
namespace morvanta {
Result<DriftScore> EmbeddingDriftDetector::detect(ViewF32, ViewF32) const {
    return make_score(Dimension::Embedding, 0.0, threshold, "mmd+sw");
}
}  // namespace morvanta
