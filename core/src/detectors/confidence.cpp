#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>
#include "../stats/ks.hpp"
#include "calibration.hpp"
#include "detectors.hpp"

namespace morvanta {
namespace {

using calibration::bin_index;
using calibration::bin_term;
using calibration::clamp_unit;

// Dense per-bin tables up to this many bins (or as many as there are scores);
// beyond, only occupied bins are kept, so an absurd bin count cannot exhaust
// memory. Both paths add the same values in the same order.
constexpr std::size_t kDenseBins = std::size_t{1} << 16;

double ece_dense(std::span<const double> scores, std::span<const std::uint8_t> correct, std::size_t len,
                 std::size_t n_bins) {
    std::vector<double> sum(n_bins, 0.0);
    std::vector<std::uint64_t> n_correct(n_bins, 0), count(n_bins, 0);
    for (std::size_t i = 0; i < len; ++i) {
        const double p = clamp_unit(scores[i]);
        const std::size_t b = bin_index(p, n_bins);
        sum[b] += p;
        count[b] += 1;
        if (correct[i]) n_correct[b] += 1;
    }
    const double n = static_cast<double>(scores.size());
    double e = 0.0;
    for (std::size_t b = 0; b < n_bins; ++b)
        if (count[b] != 0) e += bin_term(sum[b], n_correct[b], count[b], n);
    return e;
}

double ece_sparse(std::span<const double> scores, std::span<const std::uint8_t> correct, std::size_t len,
                  std::size_t n_bins) {
    std::vector<std::size_t> bins(len), order(len);
    for (std::size_t i = 0; i < len; ++i) bins[i] = bin_index(clamp_unit(scores[i]), n_bins);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Stable: within a bin the confidences are still added in index order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return bins[x] < bins[y]; });
    const double n = static_cast<double>(scores.size());
    double e = 0.0;
    for (std::size_t k = 0; k < len;) {
        const std::size_t b = bins[order[k]];
        double sum = 0.0;
        std::uint64_t n_correct = 0, count = 0;
        for (; k < len && bins[order[k]] == b; ++k) {
            const std::size_t i = order[k];
            sum += clamp_unit(scores[i]);
            count += 1;
            if (correct[i]) n_correct += 1;
        }
        e += bin_term(sum, n_correct, count, n);
    }
    return e;
}

}  // namespace

Result<double> expected_calibration_error(std::span<const double> scores, std::span<const std::uint8_t> correct,
                                          std::size_t n_bins) {
    if (scores.empty()) return DriftError::insufficient_samples(1, 0, "expected_calibration_error");
    if (n_bins == 0) return DriftError::invalid_config("ece: n_bins must be > 0");
    // Unpaired scores (more scores than flags) are not binned but still count in N.
    const std::size_t len = std::min(scores.size(), correct.size());
    const bool dense = n_bins <= std::max(kDenseBins, len);
    const ByteCount tables =
        dense ? byte_count({n_bins, 3}, sizeof(double)) : byte_count({len, 2}, sizeof(std::size_t));
    if (auto e = check_alloc(tables, "the calibration bins", "expected_calibration_error")) return std::move(*e);
    if (dense) return ece_dense(scores, correct, len, n_bins);
    return ece_sparse(scores, correct, len, n_bins);
}

Result<DriftScore> ConfidenceDriftDetector::detect(std::span<const double> baseline,
                                                   std::span<const double> current) const {
    auto d = ks_two_sample(baseline, current);
    if (!d) return std::move(d).error();
    return make_score(Dimension::Confidence, d.value(), threshold, "ks(conf)");
}

Result<DriftScore> ConfidenceDriftDetector::detect_with_correctness(
    std::span<const double> baseline, std::span<const std::uint8_t> baseline_correct, std::span<const double> current,
    std::span<const std::uint8_t> current_correct) const {
    if (auto e =
            calibration::check_flags(baseline.size(), baseline_correct.size(), current.size(), current_correct.size()))
        return std::move(*e);
    auto d = ks_two_sample(baseline, current);
    if (!d) return std::move(d).error();
    auto eb = expected_calibration_error(baseline, baseline_correct, n_calib_bins);
    if (!eb) return std::move(eb).error();
    auto ec = expected_calibration_error(current, current_correct, n_calib_bins);
    if (!ec) return std::move(ec).error();
    const double score = d.value() + std::fabs(ec.value() - eb.value());
    return make_score(Dimension::Confidence, score, threshold, "ks(conf)+ece_delta");
}

}  // namespace morvanta
