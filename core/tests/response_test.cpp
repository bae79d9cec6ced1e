#include <gtest/gtest.h>

#include <bit>
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

std::string message(const mv::Result<mv::DriftScore>& r) { return r.ok() ? "ok" : r.error().message(); }

TEST(ResponseDriftTest, ErrorsInOrder) {
    const mv::ResponseDriftDetector det;
    const std::vector<double> none{}, one{1.0}, ten(10, 3.0);
    const mv::MatrixF32 e4 = gaussian(3, 4, 1), e5 = gaussian(3, 5, 2), rowless(0, 4);
    const std::string ks_empty = "insufficient samples: need at least 1, got 0 (ks_two_sample)";
    EXPECT_EQ(message(det.detect(none, one)), ks_empty);
    EXPECT_EQ(message(det.detect_with_embeddings(none, one, e4, e5)), ks_empty);
    EXPECT_EQ(message(det.detect_with_embeddings(ten, one, e4, e5)),
              "dimension mismatch: expected 4, got 5 (sliced_wasserstein)");
    EXPECT_EQ(message(det.detect_with_embeddings(one, ten, rowless, e4)),
              "insufficient samples: need at least 1, got 0 (sliced_wasserstein)");
}

TEST(ResponseDriftTest, EmbeddingModeIsPlainSum) {
    const std::vector<double> la{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, lb{15, 25, 35};
    const mv::MatrixF32 x = gaussian(40, 16, 3), y = gaussian(3, 16, 4, 0.3f);
    for (std::uint64_t seed : {0ull, 42ull}) {
        auto r = mv::ResponseDriftDetector{0.2, 32, seed}.detect_with_embeddings(la, lb, x, y);
        ASSERT_TRUE(r.ok()) << r.error().message();
        const double expect = mv::ks_two_sample(la, lb).value() + mv::sliced_wasserstein(x, y, 32, seed).value();
        EXPECT_EQ(std::bit_cast<std::uint64_t>(r.value().score), std::bit_cast<std::uint64_t>(expect));
        EXPECT_EQ(r.value().method, "ks(length)+sw(emb)");
        EXPECT_TRUE(r.value().exceeded);
    }
}

}  // namespace
