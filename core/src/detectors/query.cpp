#include "detectors.hpp"
namespace morvanta {
Result<DriftScore> QueryDriftDetector::detect(ViewF32, ViewF32) const {
    return make_score(Dimension::Query, 0.0, threshold, "kmeans+sym_kl");
}
}  // namespace morvanta
