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

    // Compact text, fields in declaration order, absent ones as null. Matrix
    // elements are written as stored (row-major `data`).
    std::string to_json() const;
    // On failure the string is the reader's message with its position suffix,
    // e.g. "missing field `captured_at` at line 1 column 2" (positions as in
    // json/reader.hpp). Besides the object form, an array of exactly eight
    // values is accepted; more or fewer is "invalid length N, ...". Numbers
    // too large for their type fail with "number out of range" (the text can
    // never hold an infinity); ones too small round to a signed zero.
    static std::variant<BaselineSnapshot, std::string> from_json(std::string_view text);
};

}  // namespace morvanta
