// Data drift under permutation: per column the pooled values are sorted once;
// every permutation walks each column's runs with the row labels, measuring the
// KS gaps and picking the permuted baseline side's order statistics as PSI edges
// on the way. Bin counts then follow from the labelled counts below each edge.
#include <cmath>

#include "../stats/psi.hpp"
#include "runner.hpp"

namespace morvanta::permutation {

namespace detail {
namespace {

struct DataScratch : Form::Scratch {
    std::vector<std::uint8_t> labels;
    std::vector<std::uint32_t> work;
    std::vector<std::uint32_t> edge_start, edge_below;  // run start and baseline rows below, per edge
    std::vector<double> edges;
    std::vector<std::uint64_t> cb, cc;
};

// Parts column after column: KS, then PSI where the index can be formed (as the
// detector: enough baseline rows for the bins, at least two bins, eps > 0; else
// the column is judged by KS alone).
class DataForm final : public Form {
public:
    DataForm(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current)
        : m_(baseline.rows), n_(current.rows), B_(det.n_bins), eps_(det.eps) {
        const std::size_t n_cols = baseline.cols, total = m_ + n_;
        cols_.reserve(n_cols);
        std::vector<double> pooled(total);
        for (std::size_t c = 0; c < n_cols; ++c) {
            for (std::size_t r = 0; r < m_; ++r) pooled[r] = baseline.at(r, c);
            for (std::size_t r = 0; r < n_; ++r) pooled[m_ + r] = current.at(r, c);
            cols_.push_back(sort_pool(pooled));
            const std::vector<double>& v = cols_.back().values;
            std::size_t first_nan = total;
            while (first_nan > 0 && std::isnan(v[first_nan - 1])) --first_nan;
            nan_start_.push_back(first_nan);
        }
        with_psi_ = m_ >= B_ && B_ >= 2 && !(eps_ <= 0.0);
        n_edges_ = with_psi_ ? B_ - 1 : 0;
        rank_.resize(n_edges_);  // baseline order statistic of each edge
        for (std::size_t k = 1; k <= n_edges_; ++k) {
            const double f = (static_cast<double>(k) / static_cast<double>(B_)) * static_cast<double>(m_);
            std::size_t i = static_cast<std::size_t>(f);
            rank_[k - 1] = i > m_ - 1 ? m_ - 1 : i;
        }
        per_col_ = with_psi_ ? 2 : 1;
    }
    std::size_t parts() const noexcept override { return cols_.size() * per_col_; }
    std::string part_name(std::size_t j) const override {
        return std::string(j % per_col_ == 0 ? "ks[" : "psi[") + std::to_string(j / per_col_) + "]";
    }
    std::ptrdiff_t part_column(std::size_t j) const noexcept override {
        return static_cast<std::ptrdiff_t>(j / per_col_);
    }
    std::unique_ptr<Scratch> scratch() const override {
        auto s = std::make_unique<DataScratch>();
        s->labels.resize(m_ + n_);
        s->edge_start.resize(n_edges_);
        s->edge_below.resize(n_edges_);
        s->edges.resize(n_edges_);
        s->cb.resize(with_psi_ ? B_ : 0);
        s->cc.resize(with_psi_ ? B_ : 0);
        return s;
    }
    void eval(Scratch& sc, const Splits& sp, double* out) const override {
        auto& s = static_cast<DataScratch&>(sc);
        const std::size_t J = parts();
        for (std::size_t q = 0; q < sp.count; ++q) {
            if (sp.given) {
                identity_labels(m_ + n_, m_, s.labels.data());
            } else {
                Rng rng(child_seed(sp.stream, sp.first + q));
                deal(rng, m_ + n_, m_, s.work, s.labels.data());
            }
            double* o = out + q * J;
            for (std::size_t c = 0; c < cols_.size(); ++c) {
                column(c, s, o);
                o += per_col_;
            }
        }
    }
    // Max over columns of max(KS, PSI).
    double combine(const double* parts) const noexcept override {
        double best = 0.0;
        for (std::size_t c = 0; c < cols_.size(); ++c) {
            const double d = parts[c * per_col_];
            double v = d;
            if (with_psi_) {
                const double p = parts[c * per_col_ + 1];
                v = std::isnan(d) ? p : (p > d ? p : d);
            }
            best = v > best ? v : best;
        }
        return best;
    }

private:
    void column(std::size_t c, DataScratch& s, double* out) const {
        const SortedPool& sp = cols_[c];
        const std::uint8_t* lab = s.labels.data();
        const double r1 = 1.0 / static_cast<double>(m_), r2 = 1.0 / static_cast<double>(n_);
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
                ks_done = i == m_ || j == n_;
            }
            // The edge values themselves are read only where NaN needs the bin search:
            // a random read per edge of every column would dominate the walk.
            for (; q < n_edges_ && rank_[q] < i; ++q) {
                s.edge_start[q] = static_cast<std::uint32_t>(start);
                s.edge_below[q] = static_cast<std::uint32_t>(below);
            }
            if (ks_done && q == n_edges_) break;
        }
        out[0] = d;
        if (!with_psi_) return;
        std::fill(s.cb.begin(), s.cb.end(), 0);
        std::fill(s.cc.begin(), s.cc.end(), 0);
        if (s.edge_start[n_edges_ - 1] < nan_start_[c]) {  // the last edge is a number
            // Rows at or above edge k are those of its run and every later run
            // (NaN last, as the bin search sends NaN to the last bin).
            std::size_t prev_b = m_, prev_c = n_;
            for (std::size_t e = 0; e < n_edges_; ++e) {
                const std::size_t ge_b = m_ - s.edge_below[e];
                const std::size_t ge_c = n_ - (s.edge_start[e] - s.edge_below[e]);
                s.cb[e] = prev_b - ge_b;
                s.cc[e] = prev_c - ge_c;
                prev_b = ge_b;
                prev_c = ge_c;
            }
            s.cb[B_ - 1] = prev_b;
            s.cc[B_ - 1] = prev_c;
        } else {
            // NaN edges break the monotone order; place every value by the bin search.
            for (std::size_t e = 0; e < n_edges_; ++e) s.edges[e] = sp.values[s.edge_start[e]];
            for (std::size_t t = 0; t < m_ + n_; ++t) {
                const std::size_t b = psi_detail::bin_of(sp.values[t], s.edges);
                (lab[sp.order[t]] ? s.cb : s.cc)[b] += 1;
            }
        }
        // A non-finite sum is an error for the index, which the detector reads as 0.
        const Result<double> r = psi_detail::finish(s.cb.data(), s.cc.data(), m_, n_, B_, eps_);
        out[1] = r ? r.value() : 0.0;
    }

    std::size_t m_, n_, B_;
    double eps_;
    std::vector<SortedPool> cols_;
    std::vector<std::size_t> nan_start_;  // sorted position of each column's first NaN
    bool with_psi_ = false;
    std::size_t n_edges_ = 0, per_col_ = 1;
    std::vector<std::size_t> rank_;
};

}  // namespace

Result<FormPtr> data_form(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current) {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "DataDriftDetector::detect");
    if (baseline.cols != 0 && (baseline.rows == 0 || current.rows == 0))
        return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    return FormPtr(std::make_unique<DataForm>(det, baseline, current));
}

}  // namespace detail

Result<PermutationStats> data_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                   std::size_t n_permutations, std::uint64_t seed) {
    return detail::run(detail::data_form(det, baseline, current), n_permutations, seed);
}

}  // namespace morvanta::permutation
