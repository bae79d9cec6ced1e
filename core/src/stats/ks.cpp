#include "ks.hpp"

#include <cmath>
#include <vector>
#include "sort.hpp"

namespace morvanta {

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
    // F1 = i * r1 is recomputed every step: with i unchanged it is the value the
    // step would have kept, so the branch-free form gives the same bits.
    while (i < m_num && j < n_num) {
        const double x = a[i], y = b[j];
        i += static_cast<std::size_t>(x <= y);
        j += static_cast<std::size_t>(y <= x);
        const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
        d = gap > d ? gap : d;
    }
    // At least one head is NaN (or a side is exhausted): NaN is above every
    // number and equal to NaN.
    while (i < m && j < n) {
        const bool xn = i >= m_num, yn = j >= n_num;
        const bool x_le_y = xn ? yn : (yn || a[i] <= b[j]);
        const bool y_le_x = yn ? xn : (xn || b[j] <= a[i]);
        i += static_cast<std::size_t>(x_le_y);
        j += static_cast<std::size_t>(y_le_x);
        const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
        d = gap > d ? gap : d;
    }
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
