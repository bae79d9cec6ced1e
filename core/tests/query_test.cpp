#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include "detectors/detectors.hpp"

using namespace morvanta;

namespace {

MatrixF32 points(std::size_t n, std::size_t d, float value) {
    MatrixF32 m(n, d);
    std::fill(m.data.begin(), m.data.end(), value);
    return m;
}

MatrixF32 stack(const MatrixF32& a, const MatrixF32& b) {
    MatrixF32 m(a.rows + b.rows, a.cols);
    std::copy(a.data.begin(), a.data.end(), m.data.begin());
    std::copy(b.data.begin(), b.data.end(), m.data.begin() + static_cast<std::ptrdiff_t>(a.data.size()));
    return m;
}

// `groups` tight clusters of `per` rows each, far apart along separate axes.
MatrixF32 groups(std::size_t count, std::size_t per, std::size_t d, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    MatrixF32 m(count * per, d);
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t t = 0; t < d; ++t) m.row(i)[t] = (t == (i / per) % d ? 100.0f : 0.0f) + noise(gen);
    return m;
}

double detect_score(const QueryDriftDetector& det, const MatrixF32& b, const MatrixF32& c) {
    auto r = det.detect(b.view(), c.view());
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? r.value().score : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

TEST(QueryDriftTest, TwoClustersAllCurrentInOne) {
    const MatrixF32 baseline = stack(points(50, 2, 0.0f), points(50, 2, 10.0f));
    QueryDriftDetector det;
    det.k = 2;
    auto r = det.detect(baseline.view(), points(30, 2, 10.0f).view());
    ASSERT_TRUE(r.ok());
    const double want = 0.25 * std::log((1.0 + 1e-6) / 1e-6);
    EXPECT_NEAR(r.value().score, want, 1e-9 * want);
    EXPECT_NEAR(r.value().score, 3.45388, 1e-5);
    EXPECT_EQ(r.value().dimension, Dimension::Query);
    EXPECT_EQ(r.value().method, "kmeans+sym_kl");
    EXPECT_EQ(r.value().threshold, 0.1);
    EXPECT_TRUE(r.value().exceeded);
}

TEST(QueryDriftTest, EmptyCurrentWindowIsFinite) {
    const MatrixF32 baseline = groups(8, 10, 8, 1);
    QueryDriftDetector det;
    auto r = det.detect(baseline.view(), MatrixF32(0, 8).view());
    ASSERT_TRUE(r.ok());
    const double want = 0.5 * std::log((0.125 + 1e-6) / 1e-6);
    EXPECT_NEAR(r.value().score, want, 1e-9 * want);
    EXPECT_NEAR(r.value().score, 5.86804, 1e-5);
}

TEST(QueryDriftTest, IdenticalSeparatedWindowsScoreExactlyZero) {
    for (std::size_t k : {1, 3, 8}) {
        const MatrixF32 baseline = groups(k, 25, 12, static_cast<unsigned>(k));
        QueryDriftDetector det;
        det.k = k;
        det.threshold = 0.0;  // equality counts as reached
        auto r = det.detect(baseline.view(), baseline.view());
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().score, 0.0) << "k=" << k;
        EXPECT_TRUE(r.value().exceeded);
    }
}

// The divergence is symmetric in the two frequency vectors: swapping which window
// fills which cluster (mirrored layout) gives the same score.
TEST(QueryDriftTest, MirroredFrequenciesGiveEqualScores) {
    const MatrixF32 baseline = stack(points(40, 3, -5.0f), points(40, 3, 5.0f));
    const MatrixF32 cur_a = stack(points(10, 3, -5.0f), points(30, 3, 5.0f));
    const MatrixF32 cur_b = stack(points(30, 3, -5.0f), points(10, 3, 5.0f));
    QueryDriftDetector det;
    det.k = 2;
    EXPECT_EQ(detect_score(det, baseline, cur_a), detect_score(det, baseline, cur_b));
    EXPECT_GT(detect_score(det, baseline, cur_a), 0.0);
}

TEST(QueryDriftTest, ErrorsAndTheirOrder) {
    const MatrixF32 b16 = groups(2, 10, 16, 3), c8 = groups(2, 10, 8, 3), five = groups(5, 1, 4, 3);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    MatrixF32 with_nan = groups(4, 10, 4, 2);
    with_nan.data[17] = nan;
    struct Case {
        const MatrixF32* baseline;
        const MatrixF32* current;
        std::size_t k;
        ErrorKind kind;
        const char* message;
    };
    const MatrixF32 empty(0, 4);
    const Case cases[] = {
        // Columns are compared before any clustering, even with an unusable k.
        {&b16, &c8, 0, ErrorKind::DimensionMismatch, "dimension mismatch: expected 16, got 8 (QueryDriftDetector::detect)"},
        {&b16, &c8, 8, ErrorKind::DimensionMismatch, "dimension mismatch: expected 16, got 8 (QueryDriftDetector::detect)"},
        {&five, &five, 0, ErrorKind::InvalidConfig, "invalid configuration: kmeans: k must be > 0"},
        {&five, &five, 8, ErrorKind::InvalidConfig, "invalid configuration: kmeans: k=8 exceeds sample count n=5"},
        {&empty, &five, 8, ErrorKind::InvalidConfig, "invalid configuration: kmeans: k=8 exceeds sample count n=0"},
        {&with_nan, &five, 3, ErrorKind::NumericalInstability, "numerical instability in kmeans (NaN or infinity)"},
        {&with_nan, &five, 1, ErrorKind::NumericalInstability, "numerical instability in kmeans (NaN or infinity)"},
    };
    for (const Case& cs : cases) {
        QueryDriftDetector det;
        det.k = cs.k;
        auto r = det.detect(cs.baseline->view(), cs.current->view());
        ASSERT_FALSE(r.ok()) << cs.message;
        EXPECT_EQ(r.error().kind, cs.kind);
        EXPECT_EQ(r.error().message(), cs.message);
    }
}

TEST(QueryDriftTest, ThresholdComparison) {
    const MatrixF32 baseline = stack(points(50, 2, 0.0f), points(50, 2, 10.0f));
    const MatrixF32 current = points(30, 2, 10.0f);
    QueryDriftDetector det;
    det.k = 2;
    const double s = detect_score(det, baseline, current);
    struct Case {
        double threshold;
        bool exceeded;
    };
    for (const Case& cs : {Case{s, true}, Case{std::nextafter(s, 10.0), false}, Case{-1.0, true},
                           Case{std::numeric_limits<double>::quiet_NaN(), false}}) {
        det.threshold = cs.threshold;
        auto r = det.detect(baseline.view(), current.view());
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().exceeded, cs.exceeded) << cs.threshold;
    }
}

TEST(QueryDriftTest, DeterministicUnderSeed) {
    std::mt19937 gen(4);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    MatrixF32 b(300, 6), c(200, 6);
    for (float& v : b.data) v = normal(gen);
    for (float& v : c.data) v = normal(gen) + 0.3f;
    QueryDriftDetector det;
    det.seed = 17;
    const double first = detect_score(det, b, c);
    EXPECT_EQ(detect_score(det, b, c), first);
    EXPECT_TRUE(std::isfinite(first));
    EXPECT_GT(first, 0.0);
}
