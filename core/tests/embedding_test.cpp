#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "detectors/detectors.hpp"
#include "stats/mmd.hpp"
#include "stats/wasserstein.hpp"

namespace morvanta {
namespace {

MatrixF32 rnd(std::size_t rows, std::size_t cols, unsigned seed, float shift) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(shift, 1.0f);
    MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = nd(gen);
    return m;
}

// The Python tests cover the detector's errors and thresholds; here the score's
// composition from the two kernels, bit for bit, negative discrepancy included.
TEST(EmbeddingDetectorTest, ScoreIsClampedMmdPlusSlicedWasserstein) {
    for (float shift : {0.0f, 0.05f, 1.0f}) {
        MatrixF32 x = rnd(40, 16, 1, 0.0f), y = rnd(35, 16, 2, shift);
        Result<DriftScore> r = EmbeddingDriftDetector{0.05, 24, 9}.detect(x, y);
        ASSERT_TRUE(r.ok()) << r.error().message();
        const double m = mmd_rbf(x, y, Bandwidth::median_heuristic(), true).value();
        const double want = std::max(m, 0.0) + sliced_wasserstein(x, y, 24, 9).value();
        EXPECT_EQ(std::memcmp(&r.value().score, &want, sizeof want), 0) << shift;
        EXPECT_EQ(r.value().dimension, Dimension::Embedding);
        EXPECT_EQ(r.value().method, "mmd+sw");
        EXPECT_EQ(r.value().exceeded, r.value().score >= 0.05);
    }
}

}  // namespace
}  // namespace morvanta
