#include <utility>

#include "../stats/mmd.hpp"
#include "../stats/wasserstein.hpp"
#include "detectors.hpp"

namespace morvanta {

Result<DriftScore> EmbeddingDriftDetector::detect(ViewF32 baseline, ViewF32 current) const {
    // The discrepancy runs first, so its checks decide which error a pair of bad
    // inputs reports.
    Result<double> mmd = mmd_rbf(baseline, current, Bandwidth::median_heuristic(), true);
    if (!mmd) return std::move(mmd).error();
    Result<double> sw = sliced_wasserstein(baseline, current, n_projections, seed);
    if (!sw) return std::move(sw).error();
    // The unbiased estimator goes negative for alike samples; that is no drift.
    const double m = mmd.value() > 0.0 ? mmd.value() : 0.0;
    return make_score(Dimension::Embedding, m + sw.value(), threshold, "mmd+sw");
}

}  // namespace morvanta
