#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>
#include "../cancel.hpp"
#include "../pool.hpp"
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

// Copies columns col0.. of `m` into `out`, column after column; false when the
// call was interrupted meanwhile (a tall table takes a while to sweep).
bool gather(ViewF64 m, std::size_t col0, std::size_t width, double* out) {
    constexpr std::size_t kRowsPerCheck = std::size_t{1} << 16;
    const std::size_t rows = m.rows;
    for (std::size_t r = 0; r < rows; ++r) {
        if (r % kRowsPerCheck == 0 && cancelled()) return false;
        const double* src = m.row(r) + col0;
        for (std::size_t c = 0; c < width; ++c) out[c * rows + r] = src[c];
    }
    return true;
}

// Column buffers of one thread: reused by the next group that thread takes, so a
// tall table's buffers are allocated (and their pages faulted in) once per thread
// rather than once per group.
struct ColumnBuffers {
    std::vector<double> xs, ys;
    std::vector<std::uint64_t> scratch;
};

class BufferShelf {
public:
    std::unique_ptr<ColumnBuffers> take() {
        std::lock_guard<std::mutex> lk(mu_);
        if (shelf_.empty()) return std::make_unique<ColumnBuffers>();
        std::unique_ptr<ColumnBuffers> b = std::move(shelf_.back());
        shelf_.pop_back();
        return b;
    }
    void give(std::unique_ptr<ColumnBuffers> b) {
        std::lock_guard<std::mutex> lk(mu_);
        shelf_.push_back(std::move(b));
    }

private:
    std::mutex mu_;
    std::vector<std::unique_ptr<ColumnBuffers>> shelf_;
};

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
    const std::size_t group = std::max<std::size_t>(1, std::min({kMaxGroup, n_cols, kGroupBudgetBytes / per_col}));
    const bool with_psi = rb >= n_bins;
    values.resize(n_cols);

    // Column groups are independent: each runs on some thread of the pool with its
    // own buffers and writes its columns' slots; the maximum is then taken in
    // column order by the caller, so the worker count cannot show in any value.
    BufferShelf shelf;
    const PoolRun run = pool_parallel_for(n_cols, group, [&](std::size_t j0, std::size_t j1) {
        if (cancelled()) return;
        const std::size_t width = j1 - j0;
        std::unique_ptr<ColumnBuffers> buffers = shelf.take();
        std::vector<double>& xs = buffers->xs;
        std::vector<double>& ys = buffers->ys;
        std::vector<std::uint64_t>& scratch = buffers->scratch;
        xs.resize(group * rb), ys.resize(group * rc);
        struct Return {
            BufferShelf& shelf;
            std::unique_ptr<ColumnBuffers>& b;
            ~Return() { shelf.give(std::move(b)); }
        } const back{shelf, buffers};
        if (!gather(baseline, j0, width, xs.data()) || !gather(current, j0, width, ys.data())) return;
        for (std::size_t c = 0; c < width; ++c) {
            if (cancelled()) return;
            // Both kernels only need sorted columns (bin counts do not depend on
            // order), so each column is sorted once, in place, and shared.
            std::span<double> x(xs.data() + c * rb, rb), y(ys.data() + c * rc, rc);
            sort_nan_last(x, scratch);
            if (cancelled()) return;  // a sort of a tall column is the longest step
            sort_nan_last(y, scratch);
            const double d = ks_sorted(x, y);
            double p = 0.0;
            if (with_psi) {
                // A column the index cannot score is judged by KS alone.
                auto r = psi_sorted(x, y, n_bins, eps);
                if (r) p = r.value();
            }
            values[j0 + c] = std::isnan(d) ? p : (p > d ? p : d);
        }
    });
    // A failed allocation on a worker surfaces here as if the loop had run on
    // this thread.
    if (run.fault) std::rethrow_exception(run.fault);
    if (run.cancelled) return DriftError::cancelled();
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
