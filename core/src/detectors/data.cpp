#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>
#include "../stats/ks.hpp"
#include "../stats/psi.hpp"
#include "../stats/sort.hpp"
#include "detectors.hpp"

namespace morvanta {
namespace {

// Columns are copied out a few at a time: one sweep over the rows fills up to
// eight column buffers, so each cache line of a row-major table is read once per
// group rather than once per column. The budget bounds the buffers for tall tables.
constexpr std::size_t kMaxGroup = 8;
constexpr std::size_t kGroupBudgetBytes = std::size_t{32} << 20;

void gather(ViewF64 m, std::size_t col0, std::size_t width, double* out) {
    const std::size_t rows = m.rows;
    for (std::size_t r = 0; r < rows; ++r) {
        const double* src = m.row(r) + col0;
        for (std::size_t c = 0; c < width; ++c) out[c * rows + r] = src[c];
    }
}

}  // namespace

Result<std::vector<double>> DataDriftDetector::column_values(ViewF64 baseline, ViewF64 current) const {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "DataDriftDetector::detect");
    const std::size_t n_cols = baseline.cols;
    std::vector<double> values;
    values.reserve(n_cols);
    if (n_cols == 0) return values;
    const std::size_t rb = baseline.rows, rc = current.rows;
    // Every column would fail the same way in its first kernel.
    if (rb == 0 || rc == 0) return DriftError::insufficient_samples(1, 0, "ks_two_sample");

    const std::size_t per_col = (rb + rc) * sizeof(double);
    const std::size_t group =
        std::max<std::size_t>(1, std::min({kMaxGroup, n_cols, kGroupBudgetBytes / per_col}));
    std::vector<double> xs(group * rb), ys(group * rc);
    std::vector<std::uint64_t> scratch;
    const bool with_psi = rb >= n_bins;

    for (std::size_t j0 = 0; j0 < n_cols; j0 += group) {
        const std::size_t width = std::min(group, n_cols - j0);
        gather(baseline, j0, width, xs.data());
        gather(current, j0, width, ys.data());
        for (std::size_t c = 0; c < width; ++c) {
            // Both kernels only need sorted columns (bin counts do not depend on
            // order), so each column is sorted once, in place, and shared.
            std::span<double> x(xs.data() + c * rb, rb), y(ys.data() + c * rc, rc);
            sort_nan_last(x, scratch);
            sort_nan_last(y, scratch);
            const double d = ks_sorted(x, y);
            double p = 0.0;
            if (with_psi) {
                // A column the index cannot score is judged by KS alone.
                auto r = psi_sorted(x, y, n_bins, eps);
                if (r) p = r.value();
            }
            values.push_back(std::isnan(d) ? p : (p > d ? p : d));
        }
    }
    return values;
}

Result<DriftScore> DataDriftDetector::detect(ViewF64 baseline, ViewF64 current) const {
    auto values = column_values(baseline, current);
    if (!values) return std::move(values).error();
    double m = 0.0;
    for (double v : values.value()) m = v > m ? v : m;
    return make_score(Dimension::Data, m, threshold, "ks+psi");
}

}  // namespace morvanta
