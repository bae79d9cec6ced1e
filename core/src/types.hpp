// Shared value types of the core: the drift dimensions and the drift score record.
#pragma once

#include <cstdint>
#include <string>

namespace morvanta {

enum class Dimension : std::uint8_t { Data = 0, Embedding = 1, Response = 2, Confidence = 3, Query = 4 };

// Lower-case text seen from Python ("data", ...).
const char* dimension_text(Dimension d) noexcept;
// Capitalised name written into JSON ("Data", ...).
const char* dimension_json_name(Dimension d) noexcept;

struct DriftScore {
    Dimension dimension = Dimension::Data;
    double score = 0.0;
    double threshold = 0.0;
    bool exceeded = false;
    std::string method;
};

// `exceeded` is always the ordered comparison: equality counts, NaN never does.
inline bool reaches(double score, double threshold) noexcept { return score >= threshold; }

inline DriftScore make_score(Dimension d, double score, double threshold, const char* method) {
    return DriftScore{d, score, threshold, reaches(score, threshold), method};
}

}  // namespace morvanta
