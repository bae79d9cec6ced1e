#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "detectors/detectors.hpp"
#include "stats/mmd.hpp"
#include "stats/wasserstein.hpp"

namespace morvanta {
namespace {

MatrixF32 random_matrix(std::size_t rows, std::size_t cols, unsigned seed, float shift = 0.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = shift + nd(gen);
    return m;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(EmbeddingDetectorTest, ScoreIsClampedMmdPlusSlicedWasserstein) {
    for (float shift : {0.0f, 0.05f, 1.0f}) {
        MatrixF32 x = random_matrix(40, 16, 1), y = random_matrix(35, 16, 2, shift);
        EmbeddingDriftDetector det{0.05, 24, 9};
        Result<DriftScore> r = det.detect(x, y);
        ASSERT_TRUE(r.ok()) << r.error().message();
        const double m = mmd_rbf(x, y, Bandwidth::median_heuristic(), true).value();
        const double s = sliced_wasserstein(x, y, 24, 9).value();
        EXPECT_TRUE(same_bits(r.value().score, std::max(m, 0.0) + s)) << shift;
        EXPECT_EQ(r.value().dimension, Dimension::Embedding);
        EXPECT_EQ(r.value().method, "mmd+sw");
        EXPECT_EQ(r.value().threshold, 0.05);
        EXPECT_EQ(r.value().exceeded, r.value().score >= 0.05);
    }
}

TEST(EmbeddingDetectorTest, SameSampleTwiceScoresZero) {
    MatrixF32 x = random_matrix(30, 8, 3);
    ASSERT_LT(mmd_rbf(x, x, Bandwidth::median_heuristic(), true).value(), 0.0);
    Result<DriftScore> r = EmbeddingDriftDetector{}.detect(x, x);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(same_bits(r.value().score, 0.0));
    EXPECT_FALSE(r.value().exceeded);
}

TEST(EmbeddingDetectorTest, ThresholdComparisonIsOrderedGreaterOrEqual) {
    MatrixF32 x = random_matrix(12, 4, 4), y = random_matrix(14, 4, 5, 0.5f);
    const double score = EmbeddingDriftDetector{}.detect(x, y).value().score;
    auto exceeded = [&](double threshold) {
        const EmbeddingDriftDetector det{threshold, 64, 0};
        return det.detect(x, y).value().exceeded;
    };
    EXPECT_TRUE(exceeded(score));
    EXPECT_FALSE(exceeded(std::nextafter(score, 1e9)));
    EXPECT_FALSE(exceeded(std::numeric_limits<double>::quiet_NaN()));
}

struct DetectError {
    std::size_t xr, xc, yr, yc, projections;
    const char* message;
};

class EmbeddingDetectorErrors : public ::testing::TestWithParam<DetectError> {};

TEST_P(EmbeddingDetectorErrors, DiscrepancyChecksComeFirst) {
    const DetectError& c = GetParam();
    MatrixF32 x = random_matrix(c.xr, c.xc, 6), y = random_matrix(c.yr, c.yc, 7);
    Result<DriftScore> r = EmbeddingDriftDetector{0.05, c.projections, 0}.detect(x, y);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmbeddingDetectorErrors,
    ::testing::Values(
        DetectError{5, 384, 5, 768, 64, "dimension mismatch: expected 384, got 768 (mmd_rbf)"},
        DetectError{1, 4, 6, 4, 64, "insufficient samples: need at least 2, got 1 (mmd_rbf)"},
        DetectError{1, 4, 6, 4, 0, "insufficient samples: need at least 2, got 1 (mmd_rbf)"},
        DetectError{6, 4, 6, 4, 0, "invalid configuration: sliced_wasserstein: n_projections must be > 0"}));

}  // namespace
}  // namespace morvanta
