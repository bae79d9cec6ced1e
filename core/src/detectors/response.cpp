#include "detectors.hpp"

#include "../stats/ks.hpp"
#include "../stats/wasserstein.hpp"

namespace morvanta {

Result<DriftScore> ResponseDriftDetector::detect(std::span<const double> baseline,
                                                 std::span<const double> current) const {
    Result<double> d = ks_two_sample(baseline, current);
    if (!d) return std::move(d).error();
    return make_score(Dimension::Response, d.value(), threshold, "ks(length)");
}

Result<DriftScore> ResponseDriftDetector::detect_with_embeddings(std::span<const double> baseline_lengths,
                                                                 std::span<const double> current_lengths,
                                                                 ViewF32 baseline_embeddings,
                                                                 ViewF32 current_embeddings) const {
    // The length statistic comes first: its error is reported before the embeddings are looked at.
    Result<double> d = ks_two_sample(baseline_lengths, current_lengths);
    if (!d) return std::move(d).error();
    Result<double> s = sliced_wasserstein(baseline_embeddings, current_embeddings, n_projections, seed);
    if (!s) return std::move(s).error();
    return make_score(Dimension::Response, d.value() + s.value(), threshold, "ks(length)+sw(emb)");
}

}  // namespace morvanta
