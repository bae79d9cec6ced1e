#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "detectors/detectors.hpp"
#include "stats/ks.hpp"
#include "stats/wasserstein.hpp"

namespace mv = morvanta;

namespace {

mv::MatrixF32 gaussian(std::size_t rows, std::size_t cols, std::uint32_t seed, float shift = 0.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(shift, 1.0f);
    mv::MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = nd(gen);
    return m;
}

std::string error_of(const mv::Result<mv::DriftScore>& r) { return r.ok() ? "ok" : r.error().message(); }

struct LengthCase {
    std::vector<double> a, b;
    double threshold;
    double score;
    bool exceeded;
};

class ResponseDetect : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ResponseDetect, PlainMode) {
    const LengthCase& c = GetParam();
    const mv::ResponseDriftDetector det{c.threshold, 32, 0};
    auto r = det.detect(c.a, c.b);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value().dimension, mv::Dimension::Response);
    EXPECT_EQ(r.value().score, c.score);
    EXPECT_EQ(r.value().exceeded, c.exceeded);
    EXPECT_EQ(r.value().method, "ks(length)");
    if (std::isnan(c.threshold))
        EXPECT_TRUE(std::isnan(r.value().threshold));
    else
        EXPECT_EQ(r.value().threshold, c.threshold);
}

INSTANTIATE_TEST_SUITE_P(ResponseDrift, ResponseDetect,
                         ::testing::Values(LengthCase{{1, 2, 3}, {1, 2, 3}, 0.2, 0.0, false},
                                           LengthCase{{1}, {2}, 0.2, 1.0, true},
                                           LengthCase{{1, 2}, {2, 3}, 0.5, 0.5, true},  // equality counts
                                           LengthCase{{1, 2, 3}, {1, 2, 3}, -1.0, 0.0, true},
                                           LengthCase{{1}, {2}, std::numeric_limits<double>::quiet_NaN(), 1.0,
                                                      false}));

TEST(ResponseDrift, Errors) {
    const mv::ResponseDriftDetector det;
    const std::vector<double> empty{}, one{1.0}, ten(10, 3.0);
    const mv::MatrixF32 e4 = gaussian(3, 4, 1), e5 = gaussian(3, 5, 2), none4(0, 4);
    const std::string ks_empty = "insufficient samples: need at least 1, got 0 (ks_two_sample)";
    EXPECT_EQ(error_of(det.detect(empty, one)), ks_empty);
    EXPECT_EQ(error_of(det.detect(one, empty)), ks_empty);
    EXPECT_EQ(error_of(det.detect_with_embeddings(ten, one, e4, e5)),
              "dimension mismatch: expected 4, got 5 (sliced_wasserstein)");
    // The length statistic is checked before the embeddings.
    EXPECT_EQ(error_of(det.detect_with_embeddings(empty, one, e4, e5)), ks_empty);
    EXPECT_EQ(error_of(det.detect_with_embeddings(one, ten, none4, e4)),
              "insufficient samples: need at least 1, got 0 (sliced_wasserstein)");
}

TEST(ResponseDrift, EmbeddingModeIsKsPlusSlicedDistance) {
    const std::vector<double> la{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, lb{15, 25, 35};
    const mv::MatrixF32 x = gaussian(40, 16, 3), y = gaussian(3, 16, 4, 0.3f);  // 3 rows vs 10 lengths
    for (std::uint64_t seed : {0ull, 42ull}) {
        const mv::ResponseDriftDetector det{0.2, 32, seed};
        auto r = det.detect_with_embeddings(la, lb, x, y);
        ASSERT_TRUE(r.ok()) << r.error().message();
        const double expect = mv::ks_two_sample(la, lb).value() + mv::sliced_wasserstein(x, y, 32, seed).value();
        EXPECT_EQ(std::bit_cast<std::uint64_t>(r.value().score), std::bit_cast<std::uint64_t>(expect));
        EXPECT_EQ(r.value().method, "ks(length)+sw(emb)");
        EXPECT_EQ(r.value().dimension, mv::Dimension::Response);
        EXPECT_TRUE(r.value().exceeded);
    }
    // Same inputs on equal seeds agree; another seed moves only the embedding part.
    const mv::ResponseDriftDetector d0{0.2, 32, 0}, d0b{0.2, 32, 0}, d1{0.2, 32, 1};
    EXPECT_EQ(d0.detect_with_embeddings(la, lb, x, y).value().score,
              d0b.detect_with_embeddings(la, lb, x, y).value().score);
    EXPECT_NE(d0.detect_with_embeddings(la, lb, x, y).value().score,
              d1.detect_with_embeddings(la, lb, x, y).value().score);
    EXPECT_EQ(d0.detect(la, lb).value().score, d1.detect(la, lb).value().score);
}

TEST(ResponseDrift, IdenticalWindowsScoreZero) {
    const std::vector<double> l{3, 1, 2};
    const mv::MatrixF32 x = gaussian(12, 8, 5);
    auto r = mv::ResponseDriftDetector{}.detect_with_embeddings(l, l, x, x);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().score, 0.0);
    EXPECT_FALSE(r.value().exceeded);
    EXPECT_EQ(r.value().method, "ks(length)+sw(emb)");
}

}  // namespace
