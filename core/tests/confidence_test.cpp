#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>
#include "detectors/detectors.hpp"

namespace morvanta {
namespace {

using Vec = std::vector<double>;
using Flags = std::vector<std::uint8_t>;

struct EceCase { Vec s; Flags y; double e; };
class EceValues : public ::testing::TestWithParam<EceCase> {};

TEST_P(EceValues, TenBins) { EXPECT_NEAR(expected_calibration_error(GetParam().s, GetParam().y, 10).value(), GetParam().e, 1e-15); }

// A (correct, wrong) pair sharing a bin gives |mean - 1/2|, apart (1 - a + b) / 2.
INSTANTIATE_TEST_SUITE_P(ConfidenceEce, EceValues, ::testing::Values(
    EceCase{{0.9, 0.9}, {1, 0}, 0.4}, EceCase{{1.0, 1.0}, {1, 1}, 0.0}, EceCase{{1.0, 1.0}, {0, 0}, 1.0},
    EceCase{{0.95, 1.0}, {1, 0}, 0.475},   // 1.0 in bin 9
    EceCase{{0.95, 1.7}, {1, 0}, 0.475},   // clamped to 1.0, bin 9
    EceCase{{0.1, 0.15}, {1, 0}, 0.375},   // 0.1 * 10 == 1.0: bin 1
    EceCase{{0.0, 0.05}, {1, 0}, 0.475},   // 0.0 in bin 0
    EceCase{{-0.5, 0.05}, {1, 0}, 0.475},  // clamped to 0.0
    EceCase{{0.9, 0.9, 0.9}, {1, 0}, 0.4 * (2.0 / 3.0)}));  // unpaired score: not binned, counted in N

// Occupied bins in an ordered map, confidences added in index order.
double reference_ece(const Vec& s, const Flags& y, std::size_t bins) {
    std::map<std::size_t, std::array<double, 3>> acc;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double p = std::clamp(s[i], 0.0, 1.0), prod = p * static_cast<double>(bins);
        auto& [sum, correct, count] = acc[prod >= 0x1p64 ? bins - 1 : std::min(bins - 1, static_cast<std::size_t>(prod))];
        sum += p, correct += y[i], count += 1;
    }
    double e = 0.0;
    for (const auto& [b, t] : acc) e += std::fabs(t[0] / t[2] - t[1] / t[2]) * (t[2] / static_cast<double>(s.size()));
    return e;
}

TEST(ExpectedCalibrationErrorTest, ReferenceForAnyBinCountAndErrors) {
    std::mt19937_64 g(4);
    Vec s(5000);
    Flags y(s.size());
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = std::round(std::uniform_real_distribution<double>(-0.2, 1.2)(g) * (i % 7 ? 1e6 : 20)) / (i % 7 ? 1e6 : 20), y[i] = g() & 1;
    for (std::size_t i = 3; i < s.size(); i += 5) s[i] = 0.3 + 1e-9 * static_cast<double>(g() % 900);  // a crowded bin of width 2^-20
    for (std::size_t bins : {std::size_t{1}, std::size_t{10}, std::size_t{4999}, std::size_t{1} << 20, std::size_t{1} << 40, SIZE_MAX})
        EXPECT_EQ(expected_calibration_error(s, y, bins).value(), reference_ece(s, y, bins)) << bins;
    EXPECT_TRUE(std::isnan(expected_calibration_error(Vec{NAN, 0.5}, Flags{1, 0}, 10).value()));
    EXPECT_EQ(expected_calibration_error({}, {}, 0).error().message(),
              "insufficient samples: need at least 1, got 0 (expected_calibration_error)");
    EXPECT_EQ(expected_calibration_error(s, y, 0).error().message(), "invalid configuration: ece: n_bins must be > 0");
}

TEST(ConfidenceDriftTest, CalibrationChecksAfterLengthsAndKs) {
    const ConfidenceDriftDetector det{0.2, 0};
    EXPECT_EQ(det.detect_with_correctness(Vec(5, 0.5), Flags(4, 1), Vec(3), Flags(7)).error().message(),
              "dimension mismatch: expected 5, got 4 (ConfidenceDriftDetector::baseline correctness)");
    EXPECT_EQ(det.detect_with_correctness(Vec(), Flags(), Vec(3), Flags(3)).error().kind, ErrorKind::InsufficientSamples);
    EXPECT_EQ(det.detect_with_correctness(Vec(2), Flags(2), Vec(3), Flags(3)).error().kind, ErrorKind::InvalidConfig);
}

}  // namespace
}  // namespace morvanta
