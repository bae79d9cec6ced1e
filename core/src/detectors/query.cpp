// Query drift: cluster the baseline queries, assign the current ones to the same
// clusters and compare the two cluster-frequency vectors by symmetric KL.
#include <cmath>
#include <vector>
#include "../cancel.hpp"
#include "detectors.hpp"
#include "stats/kmeans.hpp"

namespace morvanta {

namespace {

std::vector<double> cluster_frequencies(const std::vector<std::size_t>& labels, std::size_t k) {
    std::vector<double> freq(k, 0.0);
    if (labels.empty()) return freq;
    std::vector<std::uint64_t> counts(k, 0);
    for (std::size_t l : labels)
        if (l < k) ++counts[l];
    const double total = static_cast<double>(labels.size());
    for (std::size_t c = 0; c < k; ++c) freq[c] = static_cast<double>(counts[c]) / total;
    return freq;
}

}  // namespace

Result<DriftScore> QueryDriftDetector::detect(ViewF32 baseline, ViewF32 current) const {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "QueryDriftDetector::detect");
    auto fit = kmeans(baseline, k, max_iter, seed, tol);
    if (!fit) return std::move(fit).error();
    const KMeansResult& r = fit.value();
    const std::vector<double> p_freq = cluster_frequencies(r.labels, k);
    const std::vector<double> q_freq = cluster_frequencies(assign_clusters(current, r.centroids.view()), k);
    if (cancelled()) return DriftError::cancelled();  // the assignment stopped early

    // Epsilon keeps empty clusters finite; the frequencies are not renormalised.
    double a = 0.0, b = 0.0;
    for (std::size_t c = 0; c < k; ++c) {
        const double p = p_freq[c] + epsilon;
        const double q = q_freq[c] + epsilon;
        a += std::log(p / q) * p;
        b += std::log(q / p) * q;
    }
    return make_score(Dimension::Query, (b + a) * 0.5, threshold, "kmeans+sym_kl");
}

}  // namespace morvanta
