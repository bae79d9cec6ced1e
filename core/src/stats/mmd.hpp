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

// mmd_rbf with the median-heuristic bandwidth, also giving the squared bandwidth
// it used (the value the kernel's exponent divides by twice).
struct MmdParts {
    double mmd2 = 0.0;
    double bandwidth_sq = 0.0;
};
Result<MmdParts> mmd_rbf_median_parts(ViewF32 x, ViewF32 y, bool unbiased);

// Instruction-set path of the pairwise squared distances. Every path gives the
// same values bit for bit; Auto picks the widest one the CPU supports.
enum class MmdIsa { Auto, Portable, Avx2, Avx512 };

// Forces a path (for tests and benchmarks). Returns false, changing nothing, when
// the CPU cannot run it.
bool mmd_set_isa(MmdIsa isa);

// The path the next call will use (never Auto).
MmdIsa mmd_active_isa();

}  // namespace morvanta
