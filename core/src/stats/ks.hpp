#pragma once
#include <span>
#include "../error.hpp"

namespace morvanta {

// Two-sample Kolmogorov-Smirnov statistic D = sup over x of |F1(x) - F2(x)|, the
// largest gap between the two empirical distribution functions. It is found by
// a merge walk of both sorted samples: each step takes v = the smaller head and
// advances each side past every value <= v (a run of repeated values is taken
// whole, on both sides), then measures |i * (1.0 / m) - j * (1.0 / n)|. The walk
// stops when either side is exhausted; nothing after that can raise the gap.
// On samples without repeated values each step moves one element per side, so
// the result is bit for bit that of a walk consuming one element at a time.
//
// Missing values: NaN sorts after every number (+inf included) and equals every
// other NaN, so all NaN heads are taken in one step. The statistic stays defined
// and within [0, 1], and NaN present in only one window (or in different shares)
// shows as drift. The only error is an empty sample.
Result<double> ks_two_sample(std::span<const double> a, std::span<const double> b);

// The same walk over samples the caller has already sorted with sort_nan_last.
// Returns 0.0 if either is empty. Other kernels that walk sorted samples use the
// same tie rule (a run of equal values is consumed whole on both sides).
double ks_sorted(std::span<const double> a, std::span<const double> b) noexcept;

}  // namespace morvanta
