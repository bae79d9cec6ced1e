// The persisted baseline record and its JSON format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>
#include "matrix.hpp"

namespace morvanta {

struct BaselineSnapshot {
    std::optional<MatrixF32> embeddings;
    std::optional<std::vector<double>> feature_means;
    std::optional<std::vector<double>> feature_stds;
    std::optional<std::vector<double>> confidence_scores;
    std::optional<std::vector<std::uint64_t>> response_lengths;
    std::optional<MatrixF32> query_centroids;
    std::optional<std::vector<double>> query_cluster_freqs;
    std::int64_t captured_at = 0;

    std::string to_json() const;
    // On failure the string is the reader's message with its position suffix,
    // e.g. "missing field `captured_at` at line 1 column 2".
    static std::variant<BaselineSnapshot, std::string> from_json(std::string_view text);
};

}  // namespace morvanta
