#pragma once
#include "../error.hpp"
#include "../matrix.hpp"

namespace morvanta {

struct Bandwidth {
    enum class Kind { MedianHeuristic, Fixed, Squared } kind = Kind::MedianHeuristic;
    double sigma = 0.0;  // for Fixed; the squared bandwidth itself for Squared
    static Bandwidth median_heuristic() noexcept { return {Kind::MedianHeuristic, 0.0}; }
    static Bandwidth fixed(double sigma) noexcept { return {Kind::Fixed, sigma}; }
    // A squared bandwidth used as it is (as the median heuristic's value is), so
    // that a caller holding that value gets the heuristic's bits.
    static Bandwidth squared(double s) noexcept { return {Kind::Squared, s}; }
};

// Squared maximum mean discrepancy under a Gaussian kernel.
Result<double> mmd_rbf(ViewF32 x, ViewF32 y, Bandwidth bandwidth, bool unbiased);

// The squared bandwidth the median heuristic picks for x and y (the pooled
// first 256 rows of each); the caller has checked widths and row counts.
Result<double> mmd_median_bandwidth_sq(ViewF32 x, ViewF32 y);

// Instruction-set path of the pairwise squared distances. Every path gives the
// same values bit for bit; Auto picks the widest one the CPU supports.
enum class MmdIsa { Auto, Portable, Avx2, Avx512 };

// Forces a path (for tests and benchmarks). Returns false, changing nothing, when
// the CPU cannot run it.
bool mmd_set_isa(MmdIsa isa);

// The path the next call will use (never Auto).
MmdIsa mmd_active_isa();

}  // namespace morvanta
