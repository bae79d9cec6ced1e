// Data drift under permutation: per column the pooled values are sorted once;
// every permutation walks each column's runs with the row labels, measuring the
// KS gaps and picking the permuted baseline side's order statistics as PSI edges
// on the way. Bin counts then follow from the labelled counts below each edge.
// Categorical columns (integer codes) are counted per category with the same
// labels, so a row moves with all its numeric and categorical cells.
#include <algorithm>
#include <cmath>
#include <limits>

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
    std::vector<std::uint64_t> cat, pb, pc;  // categorical: baseline-side counts, compacted bins
};

// One categorical column over the pooled rows: code per row (missing = K, the
// slot after the categories) and the pooled count of every slot.
struct CatColumn {
    std::vector<std::uint32_t> codes;
    std::size_t K = 0;
    std::vector<std::uint64_t> total;  // K + 1
};

// Parts column after column: KS, then PSI where the index can be formed (as the
// detector: enough baseline rows for the bins, at least two bins, eps > 0; else
// the column is judged by KS alone).
class DataForm final : public Form {
public:
    DataForm(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current, std::vector<CatColumn> cats = {})
        : m_(baseline.rows), n_(current.rows), B_(det.n_bins), eps_(det.eps), cats_(std::move(cats)) {
        for (const CatColumn& c : cats_) k_max_ = std::max(k_max_, c.K);
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
    // Numeric parts first, then "psi_cat[c]" and "missing[c]" per categorical
    // column, numbered after the numeric columns.
    std::size_t parts() const noexcept override { return numeric_parts() + 2 * cats_.size(); }
    std::string part_name(std::size_t j) const override {
        const std::size_t np = numeric_parts();
        if (j >= np)
            return std::string((j - np) % 2 == 0 ? "psi_cat[" : "missing[") + std::to_string(part_column_of(j)) + "]";
        return std::string(j % per_col_ == 0 ? "ks[" : "psi[") + std::to_string(j / per_col_) + "]";
    }
    std::ptrdiff_t part_column(std::size_t j) const noexcept override {
        return static_cast<std::ptrdiff_t>(part_column_of(j));
    }
    std::unique_ptr<Scratch> scratch() const override {
        auto s = std::make_unique<DataScratch>();
        s->labels.resize(m_ + n_);
        s->edge_start.resize(n_edges_);
        s->edge_below.resize(n_edges_);
        s->edges.resize(n_edges_);
        s->cb.resize(with_psi_ ? B_ : 0);
        s->cc.resize(with_psi_ ? B_ : 0);
        if (!cats_.empty()) {
            s->cat.resize(k_max_ + 1);
            s->pb.resize(k_max_ + 1);
            s->pc.resize(k_max_ + 1);
        }
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
            for (const CatColumn& c : cats_) {
                categorical(c, s, o);
                o += 2;
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
    std::size_t numeric_parts() const noexcept { return cols_.size() * per_col_; }
    std::size_t part_column_of(std::size_t j) const noexcept {
        const std::size_t np = numeric_parts();
        return j < np ? j / per_col_ : cols_.size() + (j - np) / 2;
    }

    // PSI over the category shares of the non-missing rows of each side, with the
    // categories absent from this split's baseline side pooled into one "unseen"
    // bin placed last (so which categories are unseen is decided anew for every
    // split), then |missing share of current - missing share of baseline|.
    void categorical(const CatColumn& c, DataScratch& s, double* out) const {
        const std::uint8_t* lab = s.labels.data();
        std::uint64_t* cnt = s.cat.data();
        std::fill(cnt, cnt + c.K + 1, 0);
        const std::uint32_t* code = c.codes.data();
        for (std::size_t i = 0, total = m_ + n_; i < total; ++i) cnt[code[i]] += lab[i];
        const std::uint64_t miss_b = cnt[c.K], miss_c = c.total[c.K] - miss_b;
        const std::size_t nb = m_ - miss_b, nc = n_ - miss_c;
        std::size_t bins = 0;
        std::uint64_t unseen = 0;
        for (std::size_t k = 0; k < c.K; ++k) {
            const std::uint64_t cur = c.total[k] - cnt[k];
            if (cnt[k] == 0) {
                unseen += cur;
                continue;
            }
            s.pb[bins] = cnt[k];
            s.pc[bins] = cur;
            ++bins;
        }
        if (unseen != 0) {
            s.pb[bins] = 0;
            s.pc[bins] = unseen;
            ++bins;
        }
        if (nb == 0 || nc == 0 || !(eps_ > 0.0)) {
            out[0] = kNaNValue;
        } else {
            const Result<double> r = psi_detail::finish(s.pb.data(), s.pc.data(), nb, nc, bins, eps_);
            out[0] = r ? r.value() : 0.0;
        }
        out[1] = std::fabs(static_cast<double>(miss_c) / static_cast<double>(n_) -
                           static_cast<double>(miss_b) / static_cast<double>(m_));
    }

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
    std::vector<CatColumn> cats_;
    std::size_t k_max_ = 0;
    static constexpr double kNaNValue = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace

Result<FormPtr> data_form(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current) {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "DataDriftDetector::detect");
    if (baseline.cols != 0 && (baseline.rows == 0 || current.rows == 0))
        return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    return FormPtr(std::make_unique<DataForm>(det, baseline, current));
}

Result<FormPtr> data_categorical_form(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                      CodesView baseline_codes, CodesView current_codes) {
    constexpr const char* kWhere = "categorical data test";
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "DataDriftDetector::detect");
    if (baseline_codes.cols != current_codes.cols)
        return DriftError::dimension_mismatch(baseline_codes.cols, current_codes.cols, kWhere);
    if (baseline_codes.rows != baseline.rows)
        return DriftError::dimension_mismatch(baseline.rows, baseline_codes.rows,
                                              "categorical data test (baseline rows)");
    if (current_codes.rows != current.rows)
        return DriftError::dimension_mismatch(current.rows, current_codes.rows, "categorical data test (current rows)");
    const std::size_t m = baseline.rows, n = current.rows, total = m + n;
    if ((baseline.cols != 0 || baseline_codes.cols != 0) && (m == 0 || n == 0))
        return DriftError::insufficient_samples(1, 0, kWhere);
    if (auto e = check_alloc(byte_count({total, baseline_codes.cols}, sizeof(std::uint32_t)),
                             "the pooled category codes", kWhere))
        return std::move(*e);
    std::vector<CatColumn> cats(baseline_codes.cols);
    for (std::size_t j = 0; j < cats.size(); ++j) {
        CatColumn& c = cats[j];
        std::int64_t top = -1;
        for (std::size_t r = 0; r < total; ++r) {
            const std::int32_t v = r < m ? baseline_codes.at(r, j) : current_codes.at(r - m, j);
            if (v < -1)
                return DriftError::invalid_config("categorical data test: column " + std::to_string(j) +
                                                  " holds code " + std::to_string(v) +
                                                  "; codes are >= 0, or -1 for missing");
            top = std::max<std::int64_t>(top, v);
        }
        // Codes are compact (0 .. K - 1): more categories than rows cannot come from one encoding.
        if (static_cast<std::uint64_t>(top) >= total && top >= 0)
            return DriftError::invalid_config("categorical data test: column " + std::to_string(j) + " holds code " +
                                              std::to_string(top) + ", more categories than the " +
                                              std::to_string(total) + " pooled rows");
        c.K = static_cast<std::size_t>(top + 1);
        c.codes.resize(total);
        c.total.assign(c.K + 1, 0);
        for (std::size_t r = 0; r < total; ++r) {
            const std::int32_t v = r < m ? baseline_codes.at(r, j) : current_codes.at(r - m, j);
            const std::uint32_t slot = v < 0 ? static_cast<std::uint32_t>(c.K) : static_cast<std::uint32_t>(v);
            c.codes[r] = slot;
            ++c.total[slot];
        }
    }
    return FormPtr(std::make_unique<DataForm>(det, baseline, current, std::move(cats)));
}

}  // namespace detail

Result<PermutationStats> data_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                   std::size_t n_permutations, std::uint64_t seed) {
    return detail::run(detail::data_form(det, baseline, current), n_permutations, seed);
}

}  // namespace morvanta::permutation
