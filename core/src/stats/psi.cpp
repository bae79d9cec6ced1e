#include "psi.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>
#include "sort.hpp"

namespace morvanta {

namespace psi_detail {

std::size_t bin_of(double x, std::span<const double> edges) noexcept {
    std::size_t size = edges.size(), base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (!(edges[mid] > x)) base = mid;
        size -= half;
    }
    return x < edges[base] ? base : base + 1;
}

std::optional<DriftError> check(std::size_t n_base, std::size_t n_cur, std::size_t n_bins, double eps) {
    if (n_bins < 2) return DriftError::invalid_config("psi: n_bins must be >= 2");
    if (eps <= 0.0) return DriftError::invalid_config("psi: eps must be > 0");
    if (n_base < n_bins) return DriftError::insufficient_samples(n_bins, n_base, "psi(baseline)");
    if (n_cur == 0) return DriftError::insufficient_samples(1, 0, "psi(current)");
    // n_bins <= n_base already bounds the tables by the data; the check keeps
    // that bound from being the only thing between a bin count and an allocation.
    const ByteCount tables =
        byte_sum(byte_count({n_bins}, sizeof(double)), byte_count({n_bins, 2}, sizeof(std::uint64_t)));
    if (auto e = check_alloc(tables, "the bin tables", "psi")) return e;
    return std::nullopt;
}

std::vector<double> quantile_edges(std::span<const double> sorted, std::size_t n_bins) {
    const std::size_t n = sorted.size();
    std::vector<double> edges(n_bins - 1);
    for (std::size_t k = 1; k < n_bins; ++k) {
        const double f = (static_cast<double>(k) / static_cast<double>(n_bins)) * static_cast<double>(n);
        std::size_t i = static_cast<std::size_t>(f);
        if (i > n - 1) i = n - 1;
        edges[k - 1] = sorted[i];
    }
    return edges;
}

void count_unsorted(std::span<const double> values, std::span<const double> edges, std::uint64_t* counts) {
    for (double x : values) ++counts[psi_detail::bin_of(x, edges)];
}

// With edges free of NaN the bin is the number of edges <= x, monotone in x, so a
// sorted sample is counted by locating each edge once instead of each value.
void count_sorted(std::span<const double> sorted, std::span<const double> edges, std::uint64_t* counts) {
    if (std::isnan(edges.back())) {
        count_unsorted(sorted, edges, counts);
        return;
    }
    const std::size_t n_num = count_numbers_sorted(sorted);
    const auto first = sorted.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(n_num);
    const std::size_t n_bins = edges.size() + 1;
    // at_or_above = number of numbers whose bin is >= k.
    std::size_t above_prev = n_num;
    auto lo = first;
    for (std::size_t k = 1; k < n_bins; ++k) {
        lo = std::lower_bound(lo, last, edges[k - 1]);
        const std::size_t above = static_cast<std::size_t>(last - lo);
        counts[k - 1] += above_prev - above;
        above_prev = above;
    }
    counts[n_bins - 1] += above_prev + (sorted.size() - n_num);
}

Result<double> finish(const std::uint64_t* cb, const std::uint64_t* cc, std::size_t n_base, std::size_t n_cur,
                      std::size_t n_bins, double eps) {
    const double b_eps = static_cast<double>(n_bins) * eps;
    const double db = static_cast<double>(n_base) + b_eps;
    const double dc = static_cast<double>(n_cur) + b_eps;
    double s = 0.0;
    for (std::size_t k = 0; k < n_bins; ++k) {
        const double p = (static_cast<double>(cb[k]) + eps) / db;
        const double q = (static_cast<double>(cc[k]) + eps) / dc;
        s += std::log(q / p) * (q - p);
    }
    if (!std::isfinite(s)) return DriftError::numerical_instability("psi");
    return s > 0.0 ? s : 0.0;
}

}  // namespace psi_detail

using psi_detail::check;
using psi_detail::count_sorted;
using psi_detail::count_unsorted;
using psi_detail::quantile_edges;

Result<double> psi_presorted(std::span<const double>, std::span<const double> sorted_baseline,
                             std::span<const double> current, std::size_t n_bins, double eps) {
    if (auto e = check(sorted_baseline.size(), current.size(), n_bins, eps)) return std::move(*e);
    const std::vector<double> edges = quantile_edges(sorted_baseline, n_bins);
    std::vector<std::uint64_t> cb(n_bins, 0), cc(n_bins, 0);
    count_sorted(sorted_baseline, edges, cb.data());
    count_unsorted(current, edges, cc.data());
    return psi_detail::finish(cb.data(), cc.data(), sorted_baseline.size(), current.size(), n_bins, eps);
}

Result<double> psi_sorted(std::span<const double> sorted_baseline, std::span<const double> sorted_current,
                          std::size_t n_bins, double eps) {
    if (auto e = check(sorted_baseline.size(), sorted_current.size(), n_bins, eps)) return std::move(*e);
    const std::vector<double> edges = quantile_edges(sorted_baseline, n_bins);
    std::vector<std::uint64_t> cb(n_bins, 0), cc(n_bins, 0);
    count_sorted(sorted_baseline, edges, cb.data());
    count_sorted(sorted_current, edges, cc.data());
    return psi_detail::finish(cb.data(), cc.data(), sorted_baseline.size(), sorted_current.size(), n_bins, eps);
}

Result<double> psi(std::span<const double> baseline, std::span<const double> current, std::size_t n_bins, double eps) {
    if (auto e = check(baseline.size(), current.size(), n_bins, eps)) return std::move(*e);
    const std::vector<double> sorted = sorted_copy(baseline);
    return psi_presorted(baseline, sorted, current, n_bins, eps);
}

}  // namespace morvanta
