// The drift report record and its JSON text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include "types.hpp"

namespace morvanta {

struct DriftReport {
    std::vector<DriftScore> scores;
    std::int64_t timestamp = 0;
    std::uint64_t sample_size_baseline = 0;
    std::uint64_t sample_size_current = 0;

    bool any_exceeded() const noexcept;
    double max_score() const noexcept;
    std::string to_json() const;
};

// Whole seconds since the Unix epoch from the wall clock; 0 before the epoch.
std::int64_t wall_clock_seconds() noexcept;

}  // namespace morvanta
