// Query drift: cluster the baseline queries, assign the current ones to the same
// clusters and compare the two cluster-frequency vectors by symmetric KL.
#include "query.hpp"
#include <vector>
#include "../cancel.hpp"
#include "detectors.hpp"
#include "stats/kmeans.hpp"

namespace morvanta {

Result<DriftScore> QueryDriftDetector::detect(ViewF32 baseline, ViewF32 current) const {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "QueryDriftDetector::detect");
    auto fit = kmeans(baseline, k, max_iter, seed, tol);
    if (!fit) return std::move(fit).error();
    const KMeansResult& r = fit.value();
    const std::vector<double> p_freq = query_detail::cluster_frequencies(r.labels, k);
    const std::vector<double> q_freq =
        query_detail::cluster_frequencies(assign_clusters(current, r.centroids.view()), k);
    if (cancelled()) return DriftError::cancelled();  // the assignment stopped early

    const double kl = query_detail::symmetric_kl(p_freq.data(), q_freq.data(), k, epsilon);
    return make_score(Dimension::Query, kl, threshold, "kmeans+sym_kl");
}

}  // namespace morvanta
