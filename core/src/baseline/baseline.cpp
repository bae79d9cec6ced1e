#include "baseline.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "../cancel.hpp"
#include "../detectors/calibration.hpp"
#include "../detectors/query.hpp"
#include "../stats/kmeans.hpp"
#include "../stats/ks.hpp"
#include "../stats/mmd.hpp"
#include "../stats/psi.hpp"
#include "../stats/sort.hpp"
#include "../stats/wasserstein.hpp"
#include "../stats/wasserstein_kernels.hpp"

namespace morvanta::baseline {
namespace {

// Column c of a row-major view, copied out.
void copy_column(ViewF64 m, std::size_t c, double* out) {
    for (std::size_t r = 0; r < m.rows; ++r) out[r] = m.row(r)[c];
}

}  // namespace

// ---------------------------------------------------------------- data

bool strictly_increasing(std::span<const double> v) noexcept {
    if (!v.empty() && std::isnan(v.back())) return false;
    for (std::size_t i = 1; i < v.size(); ++i)
        if (!(v[i - 1] < v[i])) return false;
    return true;
}

double ks_sorted_skip(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t m = a.size(), n = b.size();
    if (m == 0 || n == 0) return 0.0;
    const double r1 = 1.0 / static_cast<double>(m);
    const double r2 = 1.0 / static_cast<double>(n);
    const std::size_t m_num = count_numbers_sorted(a);
    const std::size_t n_num = count_numbers_sorted(b);
    std::size_t i = 0, j = 0;
    double d = 0.0;
    const auto at = [&](std::size_t ii, std::size_t jj) {
        const double gap = std::fabs(static_cast<double>(ii) * r1 - static_cast<double>(jj) * r2);
        d = gap > d ? gap : d;
    };
    // Steps of `a` alone from i to i1 (exclusive of i, inclusive of i1) with j fixed.
    const auto run = [&](std::size_t i1) {
        at(i + 1, j);
        at(i1, j);
        i = i1;
    };
    while (i < m_num && j < n_num) {
        const double x = a[i], y = b[j];
        if (x < y) {
            // Galloping from i: the next current value usually lies a short way
            // ahead, so the search stays within a few cache lines.
            std::size_t lo = i, step = 1;
            while (lo + step < m_num && a[lo + step] < y) {
                lo += step;
                step *= 2;
            }
            const auto first = a.begin() + static_cast<std::ptrdiff_t>(lo + 1);
            const auto last = a.begin() + static_cast<std::ptrdiff_t>(std::min(lo + step, m_num));
            run(static_cast<std::size_t>(std::lower_bound(first, last, y) - a.begin()));
            continue;
        }
        i += static_cast<std::size_t>(x <= y);
        j += static_cast<std::size_t>(y <= x);
        at(i, j);
    }
    while (i < m && j < n) {
        const bool xn = i >= m_num, yn = j >= n_num;
        if (!xn && yn) {  // numbers of `a` against NaN heads: `a` alone up to its NaN
            run(m_num);
            continue;
        }
        const bool x_le_y = xn ? yn : (yn || a[i] <= b[j]);
        const bool y_le_x = yn ? xn : (xn || b[j] <= a[i]);
        i += static_cast<std::size_t>(x_le_y);
        j += static_cast<std::size_t>(y_le_x);
        at(i, j);
    }
    return d;
}

namespace {

bool sorted_nan_last(std::span<const double> v) {
    std::size_t i = 0;
    for (; i + 1 < v.size() && !std::isnan(v[i + 1]); ++i)
        if (std::isnan(v[i]) || v[i] > v[i + 1]) return false;
    for (++i; i < v.size(); ++i)
        if (!std::isnan(v[i])) return false;
    return true;
}

}  // namespace

Result<DataFit> fit_data(const DataDriftDetector& det, ViewF64 features, bool presorted) {
    DataFit f;
    f.det = det;
    f.rows = features.rows;
    f.cols = features.cols;
    f.sorted.resize(f.rows * f.cols);
    f.n_missing.assign(f.cols, 0);
    f.distinct.assign(f.cols, 0);
    f.means.assign(f.cols, 0.0);
    f.stds.assign(f.cols, 0.0);
    // The same conditions under which the detector forms the index of a column:
    // enough baseline rows, and settings psi accepts (the current window is never
    // empty by the time the index is formed).
    f.psi = f.rows >= det.n_bins && f.rows > 0 && !psi_detail::check(f.rows, 1, det.n_bins, det.eps);
    const std::size_t nb = det.n_bins;
    if (f.psi) {
        f.edges.resize(f.cols * (nb - 1));
        f.counts.assign(f.cols * nb, 0);
    }
    // Columns are copied out eight at a time: one sweep over the rows of a
    // row-major table fills eight columns, instead of one sweep per column.
    constexpr std::size_t kGroup = 8;
    for (std::size_t c0 = 0; c0 < f.cols; c0 += kGroup) {
        if (cancelled()) return DriftError::cancelled();
        const std::size_t width = std::min(kGroup, f.cols - c0);
        for (std::size_t r = 0; r < f.rows; ++r) {
            const double* src = features.row(r) + c0;
            for (std::size_t k = 0; k < width; ++k) f.sorted[(c0 + k) * f.rows + r] = src[k];
        }
    }
    std::vector<std::uint64_t> scratch;
    for (std::size_t c = 0; c < f.cols; ++c) {
        if (cancelled()) return DriftError::cancelled();
        std::span<double> col(f.sorted.data() + c * f.rows, f.rows);
        if (!presorted) sort_nan_last(col, scratch);
        else if (!sorted_nan_last(col))
            return DriftError::invalid_config("baseline: a saved feature column is not sorted");
        const std::size_t n_num = count_numbers_sorted(col);
        f.n_missing[c] = f.rows - n_num;
        f.distinct[c] = strictly_increasing(col) ? 1 : 0;
        double s = 0.0;
        for (std::size_t i = 0; i < n_num; ++i) s += col[i];
        const double n = static_cast<double>(n_num);
        const double mean = n_num ? s / n : std::nan("");
        double v = 0.0;
        for (std::size_t i = 0; i < n_num; ++i) v += (col[i] - mean) * (col[i] - mean);
        f.means[c] = mean;
        f.stds[c] = n_num ? std::sqrt(v / n) : std::nan("");
        if (f.psi) {
            const std::vector<double> e = psi_detail::quantile_edges(col, nb);
            std::copy(e.begin(), e.end(), f.edges.begin() + static_cast<std::ptrdiff_t>(c * (nb - 1)));
            psi_detail::count_sorted(col, e, f.counts.data() + c * nb);
        }
    }
    return f;
}

Result<DataParts> check_data(const DataFit& f, ViewF64 current, bool keep_counts) {
    // The detector's own checks, in its order.
    if (f.cols != current.cols)
        return DriftError::dimension_mismatch(f.cols, current.cols, "DataDriftDetector::detect");
    DataParts out;
    out.current_rows = current.rows;
    if (f.cols != 0 && (f.rows == 0 || current.rows == 0))
        return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    const std::size_t nb = f.det.n_bins, rc = current.rows;
    std::vector<double> y(rc);
    std::vector<std::uint64_t> scratch, cc(f.psi ? nb : 0);
    out.columns.reserve(f.cols);
    double m = 0.0;
    for (std::size_t c = 0; c < f.cols; ++c) {
        if (cancelled()) return DriftError::cancelled();
        copy_column(current, c, y.data());
        sort_nan_last(y, scratch);
        ColumnParts col;
        col.missing_current = rc - count_numbers_sorted(y);
        // The skipping walk pays off once the baseline is much longer; it is
        // used where it is exact whatever the walk's rule for repeated values.
        const bool skip = f.rows > 8 * rc && f.distinct[c] && strictly_increasing(y);
        col.ks = skip ? ks_sorted_skip(f.column(c), y) : ks_sorted(f.column(c), y);
        double p = 0.0;
        if (f.psi) {
            std::fill(cc.begin(), cc.end(), 0);
            const std::span<const double> edges(f.edges.data() + c * (nb - 1), nb - 1);
            psi_detail::count_sorted(y, edges, cc.data());
            auto r = psi_detail::finish(f.counts.data() + c * nb, cc.data(), f.rows, rc, nb, f.det.eps);
            if (r) {
                p = r.value();
                col.psi = p;
            }
            if (keep_counts) col.current_counts = cc;
        }
        const double d = col.ks;
        col.value = std::isnan(d) ? p : (p > d ? p : d);
        m = col.value > m ? col.value : m;
        out.columns.push_back(std::move(col));
    }
    out.score = make_score(Dimension::Data, m, f.det.threshold, "ks+psi");
    return out;
}

// ---------------------------------------------------------------- embedding

Result<EmbeddingParts> check_embedding(const EmbeddingFit& f, ViewF32 current) {
    // The detector's order: the discrepancy (and its checks) first, then the sliced distance.
    // mmd_rbf's own checks first, then its median heuristic, kept for the breakdown.
    const ViewF32 x = f.rows.view();
    if (x.cols != current.cols) return DriftError::dimension_mismatch(x.cols, current.cols, "mmd_rbf");
    if (x.rows < 2 || current.rows < 2)
        return DriftError::insufficient_samples(2, std::min(x.rows, current.rows), "mmd_rbf");
    Result<double> h = mmd_median_bandwidth_sq(x, current);
    if (!h) return std::move(h).error();
    Result<double> mmd = mmd_rbf(x, current, Bandwidth::squared(h.value()), true);
    if (!mmd) return std::move(mmd).error();
    Result<double> sw = sliced_against(f.rows.view(), f.sliced, current);
    if (!sw) return std::move(sw).error();
    EmbeddingParts out;
    out.mmd2 = mmd.value();
    out.bandwidth_sq = h.value();
    out.sliced = sw.value();
    const double m = out.mmd2 > 0.0 ? out.mmd2 : 0.0;
    out.score = make_score(Dimension::Embedding, m + out.sliced, f.det.threshold, "mmd+sw");
    return out;
}

// ---------------------------------------------------------------- response

SlicedBaseline fit_sliced(ViewF32 x, std::size_t P, std::uint64_t seed) {
    SlicedBaseline s;
    s.n_projections = P;
    const std::size_t m = x.rows, d = x.cols;
    if (P == 0 || m == 0 || d == 0) return s;
    s.directions = wasserstein_detail::draw_directions(P, d, seed);
    s.projections.resize(P * m);
    wasserstein_detail::project(wasserstein_detail::best_path(), x, s.directions.data(), P, s.projections.data());
    for (std::size_t p = 0; p < P; ++p) {
        const std::span<double> up(s.projections.data() + p * m, m);
        sort_nan_last(up);
        if (std::isnan(up.back())) s.nan = true;
    }
    return s;
}

Result<double> sliced_against(ViewF32 x, const SlicedBaseline& f, ViewF32 y) {
    // The kernel's checks, in its order.
    constexpr const char* kContext = "sliced_wasserstein";
    if (x.cols != y.cols) return DriftError::dimension_mismatch(x.cols, y.cols, kContext);
    if (x.rows == 0 || y.rows == 0) return DriftError::insufficient_samples(1, std::min(x.rows, y.rows), kContext);
    const std::size_t P = f.n_projections;
    if (P == 0) return DriftError::invalid_config("sliced_wasserstein: n_projections must be > 0");
    if (x.cols == 0) return 0.0;
    if (f.nan) return DriftError::numerical_instability(kContext);
    const std::size_t m = x.rows, n = y.rows;
    std::vector<double> v(P * n);
    wasserstein_detail::project(wasserstein_detail::best_path(), y, f.directions.data(), P, v.data());
    double s = 0.0;
    for (std::size_t p = 0; p < P; ++p) {
        if (cancelled()) return DriftError::cancelled();
        const std::span<const double> up(f.projections.data() + p * m, m);
        const std::span<double> vp(v.data() + p * n, n);
        sort_nan_last(vp);
        if (std::isnan(vp.back())) return DriftError::numerical_instability(kContext);
        s += wasserstein_detail::w1_sorted(up, vp);
    }
    return s / static_cast<double>(P);
}

EmbeddingFit fit_embedding(const EmbeddingDriftDetector& det, MatrixF32 rows) {
    EmbeddingFit f;
    f.det = det;
    f.rows = std::move(rows);
    f.sliced = fit_sliced(f.rows.view(), det.n_projections, det.seed);
    return f;
}

ResponseFit fit_response(const ResponseDriftDetector& det, std::span<const double> lengths,
                         const MatrixF32* embeddings) {
    ResponseFit f;
    f.det = det;
    f.sorted_lengths = sorted_copy(lengths);
    if (!embeddings) return f;
    f.with_embeddings = true;
    f.embeddings = *embeddings;
    f.sliced = fit_sliced(f.embeddings.view(), det.n_projections, det.seed);
    return f;
}

namespace {

Result<double> ks_against(std::span<const double> sorted_base, std::span<const double> current) {
    if (sorted_base.empty() || current.empty()) return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    const std::vector<double> y = sorted_copy(current);
    return ks_sorted(sorted_base, y);
}

}  // namespace

Result<ResponseParts> check_response(const ResponseFit& f, std::span<const double> lengths, const ViewF32* embeddings) {
    Result<double> d = ks_against(f.sorted_lengths, lengths);
    if (!d) return std::move(d).error();
    ResponseParts out;
    out.ks = d.value();
    if (!f.with_embeddings || !embeddings) {
        out.score = make_score(Dimension::Response, out.ks, f.det.threshold, "ks(length)");
        return out;
    }
    Result<double> s = sliced_against(f.embeddings.view(), f.sliced, *embeddings);
    if (!s) return std::move(s).error();
    out.sliced = s.value();
    out.score = make_score(Dimension::Response, out.ks + s.value(), f.det.threshold, "ks(length)+sw(emb)");
    return out;
}

// ---------------------------------------------------------------- confidence

Result<ConfidenceFit> fit_confidence(const ConfidenceDriftDetector& det, std::span<const double> scores,
                                     const std::vector<std::uint8_t>* correct) {
    ConfidenceFit f;
    f.det = det;
    f.scores.assign(scores.begin(), scores.end());
    f.sorted = sorted_copy(scores);
    if (!correct) return f;
    if (scores.size() != correct->size())
        return DriftError::dimension_mismatch(scores.size(), correct->size(),
                                              "ConfidenceDriftDetector::baseline correctness");
    f.with_correct = true;
    f.correct = *correct;
    auto e = expected_calibration_error(scores, f.correct, det.n_calib_bins);
    if (e) f.ece = e.value();
    else f.ece_error = std::move(e).error();
    return f;
}

Result<ConfidenceParts> check_confidence(const ConfidenceFit& f, std::span<const double> scores,
                                         const std::vector<std::uint8_t>* correct) {
    ConfidenceParts out;
    if (!f.with_correct || !correct) {
        Result<double> d = ks_against(f.sorted, scores);
        if (!d) return std::move(d).error();
        out.ks = d.value();
        out.score = make_score(Dimension::Confidence, out.ks, f.det.threshold, "ks(conf)");
        return out;
    }
    if (scores.size() != correct->size())
        return DriftError::dimension_mismatch(scores.size(), correct->size(),
                                              "ConfidenceDriftDetector::current correctness");
    Result<double> d = ks_against(f.sorted, scores);
    if (!d) return std::move(d).error();
    out.ks = d.value();
    if (f.ece_error) return *f.ece_error;
    auto ec = expected_calibration_error(scores, *correct, f.det.n_calib_bins);
    if (!ec) return std::move(ec).error();
    out.ece_baseline = f.ece;
    out.ece_current = ec.value();
    const double score = out.ks + std::fabs(ec.value() - f.ece);
    out.score = make_score(Dimension::Confidence, score, f.det.threshold, "ks(conf)+ece_delta");
    return out;
}

bool calibration_bins(std::span<const double> scores, std::span<const std::uint8_t> correct, std::size_t n_bins,
                      std::size_t limit, CalibrationBins& out) {
    if (n_bins == 0 || n_bins > limit) return false;
    out.sum.assign(n_bins, 0.0);
    out.correct.assign(n_bins, 0);
    out.count.assign(n_bins, 0);
    const std::size_t len = std::min(scores.size(), correct.size());
    for (std::size_t i = 0; i < len; ++i) {
        const double p = calibration::clamp_unit(scores[i]);
        const std::size_t b = calibration::bin_index(p, n_bins);
        out.sum[b] += p;
        out.count[b] += 1;
        if (correct[i]) out.correct[b] += 1;
    }
    return true;
}

// ---------------------------------------------------------------- query

Result<QueryFit> fit_query(const QueryDriftDetector& det, ViewF32 queries) {
    auto fit = kmeans(queries, det.k, det.max_iter, det.seed, det.tol);
    if (!fit) return std::move(fit).error();
    QueryFit f;
    f.det = det;
    f.rows = queries.rows;
    f.frequencies = query_detail::cluster_frequencies(fit.value().labels, det.k);
    f.centroids = std::move(fit.value().centroids);
    return f;
}

Result<QueryParts> check_query(const QueryFit& f, ViewF32 current) {
    if (f.centroids.cols != current.cols)
        return DriftError::dimension_mismatch(f.centroids.cols, current.cols, "QueryDriftDetector::detect");
    const std::size_t k = f.det.k;
    QueryParts out;
    out.current = query_detail::cluster_frequencies(assign_clusters(current, f.centroids.view()), k);
    out.term_baseline.resize(k);
    out.term_current.resize(k);
    const double kl = query_detail::symmetric_kl(f.frequencies.data(), out.current.data(), k, f.det.epsilon,
                                                 out.term_baseline.data(), out.term_current.data());
    out.score = make_score(Dimension::Query, kl, f.det.threshold, "kmeans+sym_kl");
    return out;
}

}  // namespace morvanta::baseline
