// A baseline window fitted once: what each detector needs from the baseline,
// computed at fit time, and a check per dimension that scores a current window
// against it with the same bits as the detector on both raw windows.
//
// Fits never fail where the detector would fail on every call with an error that
// depends on the current window (an empty sample, a width mismatch): the check
// reports it, in the detector's own order. Fits that can only fail one way for
// every current window (k-means on the baseline, a flag count that differs from
// the score count) fail at fit time with that error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../detectors/detectors.hpp"
#include "../error.hpp"
#include "../matrix.hpp"
#include "../types.hpp"

namespace morvanta::baseline {

// ---------------------------------------------------------------- data

// ks_sorted(a, b) bit for bit on samples without repeated values (NaN counts
// as a value), for a long `a` against a short `b`. On such samples every tie
// rule of the walk comes down to one element per step; where the walk would
// step through `a` alone (its head below b's) the run is skipped by galloping
// search. Within such a run j is fixed and |i * r1 - j * r2| is monotone in i
// on either side of its minimum, so the gaps at the two ends of the run hold its
// maximum, formed from the same products as the step-by-step walk.
double ks_sorted_skip(std::span<const double> a, std::span<const double> b) noexcept;

// True when a sorted sample holds no repeated value and no NaN.
bool strictly_increasing(std::span<const double> sorted) noexcept;

struct DataFit {
    DataDriftDetector det;
    std::size_t rows = 0, cols = 0;
    std::vector<double> sorted;          // column-major: column c is sorted[c*rows, (c+1)*rows), NaN last
    std::vector<std::size_t> n_missing;  // NaN cells per column
    std::vector<std::uint8_t> distinct;  // column without repeated values or NaN
    std::vector<double> means, stds;     // over the non-missing cells (NaN for an all-missing column)
    bool psi = false;                    // the index applies (enough rows, usable settings)
    std::vector<double> edges;           // cols * (n_bins - 1) when psi
    std::vector<std::uint64_t> counts;   // cols * n_bins when psi

    std::span<const double> column(std::size_t c) const { return {sorted.data() + c * rows, rows}; }
};

// `presorted`: every column of `features` is already sorted NaN last (a saved
// fit), so it is kept exactly as it is (the order of -0.0 and +0.0 included)
// after a check that it really is sorted.
Result<DataFit> fit_data(const DataDriftDetector& det, ViewF64 features, bool presorted = false);

struct ColumnParts {
    double ks = 0.0;
    std::optional<double> psi;  // absent when the index was not formed or failed
    double value = 0.0;
    std::size_t missing_current = 0;
    std::vector<std::uint64_t> current_counts;  // n_bins entries when the index was formed
};

struct DataParts {
    std::vector<ColumnParts> columns;
    std::size_t current_rows = 0;
    DriftScore score;
};

Result<DataParts> check_data(const DataFit& fit, ViewF64 current, bool keep_counts);

// ---------------------------------------------------------------- embedding

// A baseline sample's projections for the sliced Wasserstein distance: the
// directions depend only on the seed and the width, so they and the sorted
// projections of the baseline are formed once.
struct SlicedBaseline {
    std::size_t n_projections = 0;
    std::vector<float> directions;    // n_projections x cols
    std::vector<double> projections;  // n_projections x rows, each run sorted
    bool nan = false;                 // some baseline projection is NaN
};

SlicedBaseline fit_sliced(ViewF32 x, std::size_t n_projections, std::uint64_t seed);

// sliced_wasserstein(x, y, n_projections, seed) bit for bit, from x's fit.
Result<double> sliced_against(ViewF32 x, const SlicedBaseline& s, ViewF32 y);

struct EmbeddingFit {
    EmbeddingDriftDetector det;
    MatrixF32 rows;
    SlicedBaseline sliced;
};

EmbeddingFit fit_embedding(const EmbeddingDriftDetector& det, MatrixF32 rows);

struct EmbeddingParts {
    double mmd2 = 0.0;
    double sliced = 0.0;
    double bandwidth_sq = 0.0;
    DriftScore score;
};

Result<EmbeddingParts> check_embedding(const EmbeddingFit& fit, ViewF32 current);

// ---------------------------------------------------------------- response

struct ResponseFit {
    ResponseDriftDetector det;
    std::vector<double> sorted_lengths;
    bool with_embeddings = false;
    MatrixF32 embeddings;
    SlicedBaseline sliced;
};

ResponseFit fit_response(const ResponseDriftDetector& det, std::span<const double> lengths,
                         const MatrixF32* embeddings);

struct ResponseParts {
    double ks = 0.0;
    std::optional<double> sliced;
    DriftScore score;
};

Result<ResponseParts> check_response(const ResponseFit& fit, std::span<const double> lengths,
                                     const ViewF32* embeddings);

// ---------------------------------------------------------------- confidence

struct CalibrationBins {
    std::vector<double> sum;
    std::vector<std::uint64_t> correct, count;
};

struct ConfidenceFit {
    ConfidenceDriftDetector det;
    std::vector<double> scores;  // as given
    std::vector<double> sorted;
    bool with_correct = false;
    std::vector<std::uint8_t> correct;
    std::optional<DriftError> ece_error;  // the baseline error cannot be formed
    double ece = 0.0;
};

// Fails when the flag count differs from the score count (as every detection would).
Result<ConfidenceFit> fit_confidence(const ConfidenceDriftDetector& det, std::span<const double> scores,
                                     const std::vector<std::uint8_t>* correct);

struct ConfidenceParts {
    double ks = 0.0;
    std::optional<double> ece_baseline, ece_current;
    DriftScore score;
};

Result<ConfidenceParts> check_confidence(const ConfidenceFit& fit, std::span<const double> scores,
                                         const std::vector<std::uint8_t>* correct);

// Per-bin sums as the calibration error forms them (index order within a bin).
// Bins beyond `limit` are not tabulated: returns false then.
bool calibration_bins(std::span<const double> scores, std::span<const std::uint8_t> correct, std::size_t n_bins,
                      std::size_t limit, CalibrationBins& out);

// ---------------------------------------------------------------- query

struct QueryFit {
    QueryDriftDetector det;
    std::size_t rows = 0;
    MatrixF32 centroids;
    std::vector<double> frequencies;
};

Result<QueryFit> fit_query(const QueryDriftDetector& det, ViewF32 queries);

struct QueryParts {
    std::vector<double> current;                      // cluster frequencies of the current window
    std::vector<double> term_baseline, term_current;  // log(p/q)*p and log(q/p)*q per cluster
    DriftScore score;
};

Result<QueryParts> check_query(const QueryFit& fit, ViewF32 current);

// ---------------------------------------------------------------- all parts

struct FittedBaseline {
    std::optional<DataFit> data;
    std::optional<EmbeddingFit> embedding;
    std::optional<ResponseFit> response;
    std::optional<ConfidenceFit> confidence;
    std::optional<QueryFit> query;
};

}  // namespace morvanta::baseline
