#include <gtest/gtest.h>

#include <cmath>
#include "detectors/detectors.hpp"

using namespace morvanta;

namespace {

// `counts[g]` rows at 100 on axis g (plus a little spread), far from every other group.
MatrixF32 groups(const std::vector<std::size_t>& counts, std::size_t d) {
    std::size_t n = 0, g = 0;
    for (std::size_t c : counts) n += c;
    MatrixF32 m(n, d);
    std::size_t i = 0;
    for (std::size_t c : counts) {
        for (std::size_t j = 0; j < c; ++j, ++i) {
            m.row(i)[g] = 100.0f;
            m.row(i)[(g + 1) % d] = 0.01f * static_cast<float>(j % 5);
        }
        ++g;
    }
    return m;
}

Result<DriftScore> detect(std::size_t k, const MatrixF32& baseline, const MatrixF32& current) {
    QueryDriftDetector det;
    det.k = k;
    return det.detect(baseline.view(), current.view());
}

}  // namespace

TEST(QueryDriftTest, StatedScores) {
    const double eps = 1e-6;
    struct Case { std::size_t k; MatrixF32 baseline, current; double want; };
    const Case cases[] = {
        // P = (1/2, 1/2), all current rows in one cluster.
        {2, groups({50, 50}, 2), groups({0, 30}, 2), 0.25 * std::log((1 + eps) / eps)},
        // Baseline spread evenly over 8 clusters, empty current window.
        {8, groups({10, 10, 10, 10, 10, 10, 10, 10}, 8), MatrixF32(0, 8), 0.5 * std::log((0.125 + eps) / eps)},
    };
    for (const Case& cs : cases) {
        auto r = detect(cs.k, cs.baseline, cs.current);
        ASSERT_TRUE(r.ok());
        EXPECT_NEAR(r.value().score, cs.want, 1e-9 * cs.want);
        EXPECT_EQ(r.value().dimension, Dimension::Query);
        EXPECT_EQ(r.value().method, "kmeans+sym_kl");
        EXPECT_TRUE(r.value().exceeded);
    }
    EXPECT_NEAR(cases[0].want, 3.45388, 1e-5);
    EXPECT_NEAR(cases[1].want, 5.86804, 1e-5);
}

TEST(QueryDriftTest, IdenticalSeparatedWindowsScoreExactlyZero) {
    for (std::size_t k : {1, 3, 8}) {
        std::vector<std::size_t> counts = {25, 7, 12, 25, 3, 9, 25, 1};
        counts.resize(k);
        const MatrixF32 b = groups(counts, 8);
        auto r = detect(k, b, b);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().score, 0.0) << "k=" << k;
        EXPECT_FALSE(r.value().exceeded);  // 0 < default threshold 0.1
    }
}

TEST(QueryDriftTest, ErrorsInOrder) {
    MatrixF32 with_nan = groups({10, 10, 10}, 4);
    with_nan.data[17] = std::nanf("");
    struct Case { MatrixF32 baseline, current; std::size_t k; const char* message; };
    const Case cases[] = {
        // Columns are compared before any clustering, even with an unusable k.
        {MatrixF32(20, 16), MatrixF32(20, 8), 0, "dimension mismatch: expected 16, got 8 (QueryDriftDetector::detect)"},
        {MatrixF32(5, 4), MatrixF32(5, 4), 0, "invalid configuration: kmeans: k must be > 0"},
        {MatrixF32(5, 4), MatrixF32(5, 4), 8, "invalid configuration: kmeans: k=8 exceeds sample count n=5"},
        {MatrixF32(0, 4), MatrixF32(5, 4), 8, "invalid configuration: kmeans: k=8 exceeds sample count n=0"},
        {with_nan, MatrixF32(5, 4), 3, "numerical instability in kmeans (NaN or infinity)"},
        {with_nan, MatrixF32(5, 4), 1, "numerical instability in kmeans (NaN or infinity)"},
    };
    for (const Case& cs : cases) {
        auto r = detect(cs.k, cs.baseline, cs.current);
        ASSERT_FALSE(r.ok()) << cs.message;
        EXPECT_EQ(r.error().message(), cs.message);
    }
}
