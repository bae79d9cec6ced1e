// Data drift under permutation: per column the pooled values are sorted once;
// every permutation walks each column's runs with the row labels, measuring the
// KS gaps and picking the permuted baseline side's order statistics as PSI edges
// on the way. Bin counts then follow from the labelled counts below each edge.
#include <cmath>

#include "../stats/psi.hpp"
#include "runner.hpp"

namespace morvanta::permutation {

namespace {

struct Scratch {
    std::vector<std::uint8_t> labels;
    std::vector<std::uint32_t> work;
    std::vector<std::uint32_t> edge_start, edge_below;  // run start and baseline rows below, per edge
    std::vector<double> edges;
    std::vector<std::uint64_t> cb, cc;
};

}  // namespace

Result<PermutationStats> data_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                   std::size_t n_permutations, std::uint64_t seed) {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "DataDriftDetector::detect");
    const std::size_t n_cols = baseline.cols;
    const std::size_t m = baseline.rows, n = current.rows, total = m + n;
    if (n_cols != 0 && (m == 0 || n == 0)) return DriftError::insufficient_samples(1, 0, "ks_two_sample");

    std::vector<detail::SortedPool> cols;
    cols.reserve(n_cols);
    {
        std::vector<double> pooled(total);
        for (std::size_t c = 0; c < n_cols; ++c) {
            for (std::size_t r = 0; r < m; ++r) pooled[r] = baseline.at(r, c);
            for (std::size_t r = 0; r < n; ++r) pooled[m + r] = current.at(r, c);
            cols.push_back(detail::sort_pool(pooled));
        }
    }
    const std::size_t B = det.n_bins;
    const double eps = det.eps;
    // The detector scores a column by KS alone when the index cannot be formed.
    const bool with_psi = m >= B && B >= 2 && !(eps <= 0.0);
    const std::size_t n_edges = with_psi ? B - 1 : 0;
    std::vector<std::size_t> rank(n_edges);  // baseline order statistic of each edge
    for (std::size_t k = 1; k <= n_edges; ++k) {
        const double f = (static_cast<double>(k) / static_cast<double>(B)) * static_cast<double>(m);
        std::size_t i = static_cast<std::size_t>(f);
        rank[k - 1] = i > m - 1 ? m - 1 : i;
    }
    const double r1 = 1.0 / static_cast<double>(m), r2 = 1.0 / static_cast<double>(n);

    auto make = [&] {
        Scratch s;
        s.labels.resize(total);
        s.edge_start.resize(n_edges);
        s.edge_below.resize(n_edges);
        s.edges.resize(n_edges);
        s.cb.resize(with_psi ? B : 0);
        s.cc.resize(with_psi ? B : 0);
        return s;
    };
    auto column = [&](const detail::SortedPool& sp, Scratch& s) {
        const std::uint8_t* lab = s.labels.data();
        std::size_t i = 0, k = 0, q = 0;
        double d = 0.0;
        bool ks_done = false;
        for (const std::uint32_t end : sp.ends) {
            const std::size_t start = k, below = i;
            for (; k < end; ++k) i += lab[sp.order[k]];
            if (!ks_done) {
                const std::size_t j = end - i;
                const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
                d = gap > d ? gap : d;
                ks_done = i == m || j == n;
            }
            for (; q < n_edges && rank[q] < i; ++q) {
                s.edge_start[q] = static_cast<std::uint32_t>(start);
                s.edge_below[q] = static_cast<std::uint32_t>(below);
                s.edges[q] = sp.values[start];
            }
            if (ks_done && q == n_edges) break;
        }
        if (!with_psi) return d;
        std::fill(s.cb.begin(), s.cb.end(), 0);
        std::fill(s.cc.begin(), s.cc.end(), 0);
        if (!std::isnan(s.edges.back())) {
            // Rows at or above edge k are those of its run and every later run
            // (NaN last, as the bin search sends NaN to the last bin).
            std::size_t prev_b = m, prev_c = n;
            for (std::size_t e = 0; e < n_edges; ++e) {
                const std::size_t ge_b = m - s.edge_below[e];
                const std::size_t ge_c = n - (s.edge_start[e] - s.edge_below[e]);
                s.cb[e] = prev_b - ge_b;
                s.cc[e] = prev_c - ge_c;
                prev_b = ge_b;
                prev_c = ge_c;
            }
            s.cb[B - 1] = prev_b;
            s.cc[B - 1] = prev_c;
        } else {
            // NaN edges break the monotone order; place every value by the bin search.
            for (std::size_t t = 0; t < total; ++t) {
                const std::size_t b = psi_detail::bin_of(sp.values[t], s.edges);
                (lab[sp.order[t]] ? s.cb : s.cc)[b] += 1;
            }
        }
        // A non-finite sum is an error for the index, which the detector reads as 0.
        const Result<double> r = psi_detail::finish(s.cb.data(), s.cc.data(), m, n, B, eps);
        const double p = r ? r.value() : 0.0;
        return std::isnan(d) ? p : (p > d ? p : d);
    };
    auto eval = [&](Rng* rng, Scratch& s, std::size_t) {
        if (rng) deal(*rng, total, m, s.work, s.labels.data());
        else detail::identity_labels(total, m, s.labels.data());
        double best = 0.0;
        for (const detail::SortedPool& sp : cols) {
            const double v = column(sp, s);
            best = v > best ? v : best;
        }
        return best;
    };
    return detail::run(n_permutations, seed, make, eval);
}

}  // namespace morvanta::permutation
