// The five drift detectors: immutable configurations whose operations combine
// kernels into a DriftScore.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include "../error.hpp"
#include "../matrix.hpp"
#include "../types.hpp"

namespace morvanta {

Result<double> expected_calibration_error(std::span<const double> scores, std::span<const std::uint8_t> correct,
                                          std::size_t n_bins);

struct ConfidenceDriftDetector {
    double threshold = 0.2;
    std::size_t n_calib_bins = 10;

    Result<DriftScore> detect(std::span<const double> baseline, std::span<const double> current) const;
    Result<DriftScore> detect_with_correctness(std::span<const double> baseline,
                                               std::span<const std::uint8_t> baseline_correct,
                                               std::span<const double> current,
                                               std::span<const std::uint8_t> current_correct) const;
};

struct DataDriftDetector {
    double threshold = 0.1;
    std::size_t n_bins = 10;
    double eps = 0.0001;

    Result<DriftScore> detect(ViewF64 baseline, ViewF64 current) const;
    // Column value (max of KS and PSI, ignoring NaN) for every column.
    Result<std::vector<double>> column_values(ViewF64 baseline, ViewF64 current) const;
};

struct ResponseDriftDetector {
    double threshold = 0.2;
    std::size_t n_projections = 32;
    std::uint64_t seed = 0;

    Result<DriftScore> detect(std::span<const double> baseline, std::span<const double> current) const;
    Result<DriftScore> detect_with_embeddings(std::span<const double> baseline_lengths,
                                              std::span<const double> current_lengths, ViewF32 baseline_embeddings,
                                              ViewF32 current_embeddings) const;
};

struct EmbeddingDriftDetector {
    double threshold = 0.05;
    std::size_t n_projections = 64;
    std::uint64_t seed = 0;

    Result<DriftScore> detect(ViewF32 baseline, ViewF32 current) const;
};

struct QueryDriftDetector {
    double threshold = 0.1;
    std::size_t k = 8;
    std::size_t max_iter = 50;
    std::uint64_t seed = 0;
    double epsilon = 1e-6;
    float tol = 1e-4f;

    Result<DriftScore> detect(ViewF32 baseline, ViewF32 current) const;
};

}  // namespace morvanta
