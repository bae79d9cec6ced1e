#pragma once
#include <span>
#include "../error.hpp"

namespace morvanta {

// Two-sample Kolmogorov-Smirnov statistic: the largest gap between the two
// empirical distribution functions met along a merge walk of both sorted samples.
// NaN sorts after every number (+inf included) and two NaN heads advance together,
// so a missing value present in only one window shows as drift.
Result<double> ks_two_sample(std::span<const double> a, std::span<const double> b);

// The same walk over samples the caller has already sorted (NaN last).
double ks_sorted(std::span<const double> a, std::span<const double> b) noexcept;

}  // namespace morvanta
