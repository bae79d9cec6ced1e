// The query detector's cluster frequencies and symmetric divergence, shared by the
// detector, its fitted baseline and its permutation test so that all three form
// them with the same operations in the same order.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvanta::query_detail {

// Share of each of the k clusters among `total` rows from their per-cluster
// counts; all zero when there are no rows.
inline void frequencies(const std::uint64_t* counts, std::size_t k, std::size_t total, double* out) noexcept {
    if (total == 0) {
        for (std::size_t c = 0; c < k; ++c) out[c] = 0.0;
        return;
    }
    const double t = static_cast<double>(total);
    for (std::size_t c = 0; c < k; ++c) out[c] = static_cast<double>(counts[c]) / t;
}

// Frequencies of the cluster labels; a label >= k counts towards the total only.
inline std::vector<double> cluster_frequencies(const std::vector<std::size_t>& labels, std::size_t k) {
    std::vector<double> freq(k, 0.0);
    if (labels.empty()) return freq;
    std::vector<std::uint64_t> counts(k, 0);
    for (std::size_t l : labels)
        if (l < k) ++counts[l];
    frequencies(counts.data(), k, labels.size(), freq.data());
    return freq;
}

// (KL(p || q) + KL(q || p)) / 2 over k clusters, added as (b + a) * 0.5 with a and
// b summed in cluster order. Epsilon keeps empty clusters finite; the frequencies
// are not renormalised. The per-cluster terms go to term_p / term_q when given.
inline double symmetric_kl(const double* p_freq, const double* q_freq, std::size_t k, double epsilon,
                           double* term_p = nullptr, double* term_q = nullptr) noexcept {
    double a = 0.0, b = 0.0;
    for (std::size_t c = 0; c < k; ++c) {
        const double p = p_freq[c] + epsilon;
        const double q = q_freq[c] + epsilon;
        const double tp = std::log(p / q) * p;
        const double tq = std::log(q / p) * q;
        if (term_p) term_p[c] = tp;
        if (term_q) term_q[c] = tq;
        a += tp;
        b += tq;
    }
    return (b + a) * 0.5;
}

}  // namespace morvanta::query_detail
