#include "detectors.hpp"
#include "../stats/ks.hpp"
namespace morvanta {
Result<double> expected_calibration_error(std::span<const double>, std::span<const std::uint8_t>, std::size_t) {
    return 0.0;
}
Result<DriftScore> ConfidenceDriftDetector::detect(std::span<const double> a, std::span<const double> b) const {
    auto d = ks_two_sample(a, b);
    if (!d) return std::move(d).error();
    return make_score(Dimension::Confidence, d.value(), threshold, "ks(conf)");
}
Result<DriftScore> ConfidenceDriftDetector::detect_with_correctness(std::span<const double> a,
                                                                   std::span<const std::uint8_t>,
                                                                   std::span<const double> b,
                                                                   std::span<const std::uint8_t>) const {
    return detect(a, b);
}
}  // namespace morvanta
