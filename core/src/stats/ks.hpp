#pragma once
#include <span>
#include "../error.hpp"

namespace morvanta {

// Two-sample Kolmogorov-Smirnov statistic: the largest gap between the two
// empirical distribution functions met along a merge walk of both sorted samples.
// Each step advances the side(s) whose head is "<=" the other head (ties advance
// both by one element), distribution values are count * (1.0 / size), the gap is
// measured after every step and the walk stops when either side is exhausted.
//
// Missing values: NaN sorts after every number (+inf included); a NaN head is
// "<=" only another NaN head, so two NaN heads advance together. The statistic
// stays defined and within [0, 1], and NaN present in only one window (or in
// different shares) shows as drift. The only error is an empty sample.
Result<double> ks_two_sample(std::span<const double> a, std::span<const double> b);

// The same walk over samples the caller has already sorted with sort_nan_last.
// Returns 0.0 if either is empty.
double ks_sorted(std::span<const double> a, std::span<const double> b) noexcept;

}  // namespace morvanta
