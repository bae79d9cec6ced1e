#pragma once
#include "../error.hpp"
#include "../matrix.hpp"

namespace morvanta {

struct Bandwidth {
    enum class Kind { MedianHeuristic, Fixed } kind = Kind::MedianHeuristic;
    double sigma = 0.0;  // for Fixed
    static Bandwidth median_heuristic() noexcept { return {Kind::MedianHeuristic, 0.0}; }
    static Bandwidth fixed(double sigma) noexcept { return {Kind::Fixed, sigma}; }
};

// Squared maximum mean discrepancy under a Gaussian kernel.
Result<double> mmd_rbf(ViewF32 x, ViewF32 y, Bandwidth bandwidth, bool unbiased);

}  // namespace morvanta
