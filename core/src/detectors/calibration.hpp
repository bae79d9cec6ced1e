// The calibration error's binning, shared by the confidence detector, its fitted
// baseline and its permutation test so that all three add the same values in
// the same bins and form the same per-bin terms.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "../error.hpp"

namespace morvanta::calibration {

// Confidence clamped to [0, 1]; NaN stays NaN.
inline double clamp_unit(double c) noexcept {
    if (c < 0.0) return 0.0;
    if (c > 1.0) return 1.0;
    return c;
}

// Truncated p * B, NaN to bin 0, capped at the last bin. p is in [0, 1] or NaN,
// but a huge B can round p * B up to 2^64, which does not convert.
inline std::size_t bin_index(double p, std::size_t n_bins) noexcept {
    const double prod = p * static_cast<double>(n_bins);
    if (!(prod >= 0.0)) return 0;
    if (prod >= 18446744073709551616.0) return n_bins - 1;
    const auto b = static_cast<std::size_t>(prod);
    return b > n_bins - 1 ? n_bins - 1 : b;
}

// One occupied bin's share of the error: |mean confidence - accuracy| weighted
// by the bin's fraction of the n scores.
inline double bin_term(double sum, std::uint64_t correct, std::uint64_t count, double n) noexcept {
    const double cnt = static_cast<double>(count);
    const double mean = sum / cnt;
    const double acc = static_cast<double>(correct) / cnt;
    const double w = cnt / n;
    return std::fabs(mean - acc) * w;
}

// One correctness flag per confidence on each side, checked baseline first.
inline std::optional<DriftError> check_flags(std::size_t n_baseline, std::size_t n_baseline_flags,
                                             std::size_t n_current, std::size_t n_current_flags) {
    if (n_baseline != n_baseline_flags)
        return DriftError::dimension_mismatch(n_baseline, n_baseline_flags,
                                              "ConfidenceDriftDetector::baseline correctness");
    if (n_current != n_current_flags)
        return DriftError::dimension_mismatch(n_current, n_current_flags,
                                              "ConfidenceDriftDetector::current correctness");
    return std::nullopt;
}

}  // namespace morvanta::calibration
