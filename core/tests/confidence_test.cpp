#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>
#include "detectors/detectors.hpp"
#include "stats/ks.hpp"

namespace morvanta {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
using Flags = std::vector<std::uint8_t>;

double ece(const std::vector<double>& s, const Flags& y, std::size_t bins = 10) {
    auto r = expected_calibration_error(s, y, bins);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : -1.0;
}

TEST(ExpectedCalibrationErrorTest, DocumentedValues) {
    EXPECT_NEAR(ece({0.9, 0.9}, {1, 0}), 0.4, 1e-15);
    EXPECT_EQ(ece({1.0, 1.0, 1.0}, {1, 1, 1}), 0.0);
    EXPECT_EQ(ece({1.0, 1.0}, {0, 0}), 1.0);
}

// Two scores share a bin exactly when their error is |mean - 1/2|; apart, each
// contributes its own gap. The pairs below are chosen so the two readings differ.
struct BinCase {
    const char* name;
    double score;    // flagged correct
    double partner;  // flagged wrong
    double same_bin;
};

class EceBinning : public ::testing::TestWithParam<BinCase> {};

TEST_P(EceBinning, LandsWithPartner) {
    const auto c = GetParam();
    EXPECT_NEAR(ece({c.score, c.partner}, {1, 0}), c.same_bin, 1e-15);
}

INSTANTIATE_TEST_SUITE_P(ConfidenceTenBins, EceBinning,
    ::testing::Values(BinCase{"one_in_last", 0.95, 1.0, 0.475},          // apart: 0.525
                      BinCase{"clamped_above", 0.95, 1.7, 0.475},        // unclamped mean would give 0.825
                      BinCase{"point_one_in_bin_one", 0.1, 0.15, 0.375},  // bin 0 would give 0.525
                      BinCase{"zero_in_first", 0.0, 0.05, 0.475},        // apart: 0.525
                      BinCase{"negative_clamped", -0.5, 0.05, 0.475}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExpectedCalibrationErrorTest, PointOneIsNotInBinZero) {
    // 0.1 * 10 == 1.0 in double precision, so 0.1 does not join 0.05 in bin 0.
    EXPECT_NEAR(ece({0.1, 0.05}, {1, 0}), (0.9 + 0.05) / 2, 1e-15);
}

TEST(ExpectedCalibrationErrorTest, NanScoreGoesToBinZeroAndPoisons) {
    EXPECT_TRUE(std::isnan(ece({kNan, 0.5}, {1, 0})));
}

TEST(ExpectedCalibrationErrorTest, UnpairedScoresStillDivide) {
    // Third score has no flag: not binned, but N = 3 weights the bin by 2/3.
    EXPECT_NEAR(ece({0.9, 0.9, 0.9}, {1, 0}), 0.4 * (2.0 / 3.0), 1e-15);
}

TEST(ExpectedCalibrationErrorTest, Errors) {
    auto r = expected_calibration_error({}, {}, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "insufficient samples: need at least 1, got 0 (expected_calibration_error)");
    const std::vector<double> s = {0.5};
    const Flags y = {1};
    r = expected_calibration_error(s, y, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "invalid configuration: ece: n_bins must be > 0");
}

TEST(ExpectedCalibrationErrorTest, HugeBinCountsKeepOccupiedBinsOnly) {
    // 0.5 and 0.5 + 2^-30 share a bin of width 2^-20; 0.75 sits alone.
    const std::vector<double> s = {0.5, 0.75, 0.5 + std::ldexp(1.0, -30)};
    const Flags y = {1, 0, 0};
    const double shared = std::fabs((0.5 + (0.5 + std::ldexp(1.0, -30))) / 2.0 - 0.5) * (2.0 / 3.0);
    const double alone = 0.75 * (1.0 / 3.0);
    EXPECT_EQ(ece(s, y, std::size_t{1} << 20), shared + alone);
    // A bin count beyond memory still answers; 1.0 lands in the last bin.
    const double top = ece({1.0, 1.0}, {1, 0}, std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(top, 0.5);
}

// Bins kept in an ordered map, confidences added in index order.
double reference_ece(const std::vector<double>& s, const Flags& y, std::size_t bins) {
    struct Acc { double sum = 0.0; std::uint64_t correct = 0, count = 0; };
    std::map<std::size_t, Acc> acc;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double p = std::clamp(s[i], 0.0, 1.0);
        const double prod = p * static_cast<double>(bins);
        std::size_t b = prod >= 18446744073709551616.0 ? bins - 1 : static_cast<std::size_t>(prod);
        b = std::min(b, bins - 1);
        acc[b].sum += p;
        acc[b].count += 1;
        acc[b].correct += y[i] ? 1 : 0;
    }
    double e = 0.0;
    for (const auto& [b, a] : acc) {
        const double c = static_cast<double>(a.count);
        e += std::fabs(a.sum / c - static_cast<double>(a.correct) / c) * (c / static_cast<double>(s.size()));
    }
    return e;
}

TEST(ExpectedCalibrationErrorTest, AgainstReferenceForManyBinCounts) {
    std::mt19937_64 g(4);
    std::uniform_real_distribution<double> u(-0.2, 1.2);
    std::vector<double> s(5000);
    Flags y(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = (i % 7 == 0) ? std::round(u(g) * 20) / 20 : u(g);
        y[i] = g() & 1;
    }
    for (std::size_t bins : {std::size_t{1}, std::size_t{10}, std::size_t{4999}, std::size_t{1} << 17,
                             std::size_t{1} << 40, std::numeric_limits<std::size_t>::max()})
        EXPECT_EQ(ece(s, y, bins), reference_ece(s, y, bins)) << bins;
}

TEST(ConfidenceDriftTest, PlainMode) {
    const ConfidenceDriftDetector det{0.3, 10};
    auto r = det.detect(std::vector<double>{0.1, 0.2, 0.3}, std::vector<double>{0.7, 0.8});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().dimension, Dimension::Confidence);
    EXPECT_EQ(r.value().score, 1.0);
    EXPECT_EQ(r.value().threshold, 0.3);
    EXPECT_TRUE(r.value().exceeded);
    EXPECT_EQ(r.value().method, "ks(conf)");
    auto e = det.detect({}, std::vector<double>{0.5});
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().message(), "insufficient samples: need at least 1, got 0 (ks_two_sample)");
}

TEST(ConfidenceDriftTest, ThresholdComparisonIsOrdered) {
    const std::vector<double> a = {0.2, 0.4, 0.6, 0.9}, b = a;
    const Flags f = {1, 0, 1, 1};
    struct { double threshold; bool exceeded; } cases[] = {{0.2, false}, {0.0, true}, {-1.0, true}, {kNan, false}};
    for (auto c : cases) {
        const ConfidenceDriftDetector det{c.threshold, 10};
        auto p = det.detect(a, b);
        auto q = det.detect_with_correctness(a, f, b, f);
        ASSERT_TRUE(p.ok() && q.ok());
        EXPECT_EQ(p.value().score, 0.0);
        EXPECT_EQ(q.value().score, 0.0);
        EXPECT_EQ(p.value().exceeded, c.exceeded) << c.threshold;
        EXPECT_EQ(q.value().exceeded, c.exceeded) << c.threshold;
    }
}

TEST(ConfidenceDriftTest, CalibrationModeAddsEceDelta) {
    const ConfidenceDriftDetector det{0.2, 10};
    const std::vector<double> a = {0.9, 0.9, 0.3, 0.6}, b = {0.8, 0.95, 0.2, 0.5, 0.55};
    const Flags fa = {1, 0, 0, 1}, fb = {1, 1, 0, 0, 0};
    auto r = det.detect_with_correctness(a, fa, b, fb);
    ASSERT_TRUE(r.ok());
    const double expected = ks_two_sample(a, b).value() + std::fabs(ece(b, fb) - ece(a, fa));
    EXPECT_EQ(r.value().score, expected);
    EXPECT_EQ(r.value().method, "ks(conf)+ece_delta");
    EXPECT_EQ(r.value().dimension, Dimension::Confidence);
    // Not capped at 1: disjoint windows with opposite calibration.
    auto big = det.detect_with_correctness(std::vector<double>{1.0}, Flags{1}, std::vector<double>{0.0}, Flags{1});
    EXPECT_EQ(big.value().score, 2.0);
}

TEST(ConfidenceDriftTest, NanScoreMakesCalibrationScoreNan) {
    const ConfidenceDriftDetector det{0.2, 10};
    auto r = det.detect_with_correctness(std::vector<double>{kNan, 0.5}, Flags{1, 0}, std::vector<double>{0.5, 0.6},
                                         Flags{1, 1});
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(std::isnan(r.value().score));
    EXPECT_FALSE(r.value().exceeded);
}

struct OrderCase {
    const char* name;
    std::size_t nb, nfb, nc, nfc, bins;
    const char* message;
};

class ConfidenceErrors : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ConfidenceErrors, FirstFailureReported) {
    const auto c = GetParam();
    const ConfidenceDriftDetector det{0.2, c.bins};
    const std::vector<double> a(c.nb, 0.5), b(c.nc, 0.5);
    const Flags fa(c.nfb, 1), fb(c.nfc, 1);
    auto r = det.detect_with_correctness(a, fa, b, fb);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(ConfidenceOrder, ConfidenceErrors,
    ::testing::Values(
        OrderCase{"baseline_first", 5, 4, 3, 7, 0,
                  "dimension mismatch: expected 5, got 4 (ConfidenceDriftDetector::baseline correctness)"},
        OrderCase{"current", 5, 5, 3, 7, 0,
                  "dimension mismatch: expected 3, got 7 (ConfidenceDriftDetector::current correctness)"},
        OrderCase{"ks_before_bins", 0, 0, 3, 3, 0, "insufficient samples: need at least 1, got 0 (ks_two_sample)"},
        OrderCase{"empty_current", 2, 2, 0, 0, 10, "insufficient samples: need at least 1, got 0 (ks_two_sample)"},
        OrderCase{"zero_bins", 2, 2, 3, 3, 0, "invalid configuration: ece: n_bins must be > 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfidenceDriftTest, ZeroBinsStillDetectsPlain) {
    const ConfidenceDriftDetector det{0.2, 0};
    EXPECT_TRUE(det.detect(std::vector<double>{0.5}, std::vector<double>{0.5}).ok());
}

}  // namespace
}  // namespace morvanta
