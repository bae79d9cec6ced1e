#include "ks.hpp"

#include <cmath>
#include <vector>
#include "sort.hpp"

namespace morvanta {

namespace {

// Advances k past every element of s[k..end) that is <= v. The caller knows
// s[k] <= v, so the first step needs no test.
inline std::size_t past(std::span<const double> s, std::size_t k, std::size_t end, double v) noexcept {
    do ++k;
    while (k < end && s[k] <= v);
    return k;
}

}  // namespace

double ks_sorted(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t m = a.size(), n = b.size();
    if (m == 0 || n == 0) return 0.0;
    const double r1 = 1.0 / static_cast<double>(m);
    const double r2 = 1.0 / static_cast<double>(n);
    // Numbers come first in both arrays; while both heads are numbers the plain
    // <= decides, which keeps the hot loop free of NaN tests.
    const std::size_t m_num = count_numbers_sorted(a);
    const std::size_t n_num = count_numbers_sorted(b);
    std::size_t i = 0, j = 0;
    double d = 0.0;
    // Each step takes v, the smaller head, and moves both sides past every value
    // <= v, so (i, j) are the two counts at or below v and the gap is |F1(v) - F2(v)|
    // exactly: a run of equal values is consumed whole and never shows an
    // intermediate gap. Without repeated values every run has one element and
    // the steps are those of a one-element-per-side walk.
    while (i < m_num && j < n_num) {
        const double x = a[i], y = b[j];
        const double v = y < x ? y : x;
        // The head(s) equal to v move branch-free (which side moves is a coin
        // toss on tie-free data); the rest of a run is a rarely taken loop.
        i += static_cast<std::size_t>(x <= v);
        j += static_cast<std::size_t>(y <= v);
        while (i < m_num && a[i] <= v) ++i;
        while (j < n_num && b[j] <= v) ++j;
        const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
        d = gap > d ? gap : d;
    }
    // Here one side has only NaN left (or is exhausted). NaN sits above every
    // number and equals NaN: the numeric side keeps climbing value by value, and
    // when both heads are NaN both sides take all their NaN at once (F1 = F2 = 1,
    // up to the rounding of count * reciprocal).
    while (i < m && j < n) {
        const bool xn = i >= m_num, yn = j >= n_num;
        if (xn && yn) {
            i = m;
            j = n;
        } else if (xn) {
            j = past(b, j, n_num, b[j]);
        } else {
            i = past(a, i, m_num, a[i]);
        }
        const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
        d = gap > d ? gap : d;
    }
    // The walk stops once one side is exhausted: that side's F stays at its end
    // value while the other only climbs towards it, so no later gap is larger.
    return d;
}

Result<double> ks_two_sample(std::span<const double> a, std::span<const double> b) {
    if (a.empty() || b.empty()) return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    std::vector<std::uint64_t> scratch;
    std::vector<double> sa(a.begin(), a.end());
    std::vector<double> sb(b.begin(), b.end());
    sort_nan_last(sa, scratch);
    sort_nan_last(sb, scratch);
    return ks_sorted(sa, sb);
}

}  // namespace morvanta
