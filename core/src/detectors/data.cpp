#include "detectors.hpp"
namespace morvanta {
Result<DriftScore> DataDriftDetector::detect(ViewF64, ViewF64) const {
    return make_score(Dimension::Data, 0.0, threshold, "ks+psi");
}
Result<std::vector<double>> DataDriftDetector::column_values(ViewF64 b, ViewF64) const {
    return std::vector<double>(b.cols, 0.0);
}
}  // namespace morvanta
