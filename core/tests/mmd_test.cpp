#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "pool.hpp"
#include "stats/mmd.hpp"
#include "stats/mmd_simd.hpp"

namespace morvanta {
namespace {

MatrixF32 random_matrix(std::size_t rows, std::size_t cols, unsigned seed, float shift = 0.0f, float scale = 1.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = shift + scale * nd(gen);
    return m;
}

MatrixF32 column(std::initializer_list<float> values) {
    return MatrixF32(values.size(), 1, std::vector<float>(values));
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

double ref_d2(const float* a, const float* b, std::size_t cols) {
    double s = 0.0;
    for (std::size_t t = 0; t < cols; ++t) {
        float d = a[t] - b[t];
        s += static_cast<double>(d) * static_cast<double>(d);
    }
    return s;
}

// Median pairwise distance of the first `cap` rows of each sample, by brute force.
double ref_median(const MatrixF32& x, const MatrixF32& y, std::size_t cap) {
    std::vector<const float*> rows;
    for (std::size_t i = 0; i < std::min(cap, x.rows); ++i) rows.push_back(x.row(i));
    for (std::size_t i = 0; i < std::min(cap, y.rows); ++i) rows.push_back(y.row(i));
    std::vector<double> d;
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = i + 1; j < rows.size(); ++j) d.push_back(std::sqrt(ref_d2(rows[i], rows[j], x.cols)));
    std::sort(d.begin(), d.end());
    return d[d.size() / 2];
}

// The estimators as a plain double loop over all pairs.
double ref_mmd(const MatrixF32& x, const MatrixF32& y, double s, bool unbiased) {
    auto k = [&](const float* a, const float* b) { return std::exp(-ref_d2(a, b, x.cols) / (2.0 * s)); };
    double kxx = 0, kyy = 0, kxy = 0;
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < x.rows; ++j)
            if (i != j) kxx += k(x.row(i), x.row(j));
    for (std::size_t i = 0; i < y.rows; ++i)
        for (std::size_t j = 0; j < y.rows; ++j)
            if (i != j) kyy += k(y.row(i), y.row(j));
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < y.rows; ++j) kxy += k(x.row(i), y.row(j));
    const double n = double(x.rows), m = double(y.rows);
    if (unbiased) return kxx / (n * (n - 1)) + kyy / (m * (m - 1)) - 2 * kxy / (n * m);
    return (kxx + n) / (n * n) + (kyy + m) / (m * m) - 2 * kxy / (n * m);
}

double mmd_value(const MatrixF32& x, const MatrixF32& y, Bandwidth bw, bool unbiased) {
    Result<double> r = mmd_rbf(x, y, bw, unbiased);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? r.value() : std::numeric_limits<double>::quiet_NaN();
}

std::vector<MmdIsa> supported_isas() {
    std::vector<MmdIsa> out;
    for (MmdIsa isa : {MmdIsa::Portable, MmdIsa::Avx2, MmdIsa::Avx512})
        if (mmd_set_isa(isa)) out.push_back(isa);
    EXPECT_TRUE(mmd_set_isa(MmdIsa::Auto));
    return out;
}

TEST(MmdRbfTest, OneColumnMedianIsUpperMiddleDistance) {
    // Pooled distances 1, 3, 7, 2, 6, 4: the median is 4 (index 3), so s = 16.
    MatrixF32 x = column({0, 1}), y = column({3, 7});
    for (bool unbiased : {true, false}) {
        double median = mmd_value(x, y, Bandwidth::median_heuristic(), unbiased);
        EXPECT_TRUE(same_bits(median, mmd_value(x, y, Bandwidth::fixed(4.0), unbiased)));
        EXPECT_FALSE(same_bits(median, mmd_value(x, y, Bandwidth::fixed(3.5), unbiased)));
    }
}

TEST(MmdRbfTest, SelfComparisonIsTwiceMeanKernelMinusOneOverN) {
    MatrixF32 x = random_matrix(23, 6, 1);
    const double s = 2.25;
    double total = 0;
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < x.rows; ++j)
            if (i != j) total += std::exp(-ref_d2(x.row(i), x.row(j), x.cols) / (2 * s));
    const double n = double(x.rows);
    const double a = total / (n * (n - 1));
    const double got = mmd_value(x, x, Bandwidth::fixed(1.5), true);
    EXPECT_LT(got, 0.0);
    EXPECT_NEAR(got, 2 * (a - 1) / n, 1e-12 * std::abs(got));
}

TEST(MmdRbfTest, IdenticalRowsGiveExactlyZero) {
    MatrixF32 x(5, 4), y(7, 4);
    for (std::size_t i = 0; i < 5; ++i) std::copy_n(std::vector<float>{1.5f, -2, 0.25f, 8}.data(), 4, x.row(i));
    for (std::size_t i = 0; i < 7; ++i) std::copy_n(x.row(0), 4, y.row(i));
    for (bool unbiased : {true, false}) EXPECT_EQ(mmd_value(x, y, Bandwidth::median_heuristic(), unbiased), 0.0);
}

TEST(MmdRbfTest, ZeroColumnsGiveZero) {
    MatrixF32 x(3, 0), y(4, 0);
    for (Bandwidth bw : {Bandwidth::median_heuristic(), Bandwidth::fixed(1.0)})
        for (bool unbiased : {true, false}) EXPECT_EQ(mmd_value(x, y, bw, unbiased), 0.0);
}

TEST(MmdRbfTest, NonPositiveBandwidthFails) {
    MatrixF32 x = random_matrix(4, 3, 2), y = random_matrix(5, 3, 3);
    for (double sigma : {0.0, -0.0, -1.0, -std::numeric_limits<double>::infinity()}) {
        Result<double> r = mmd_rbf(x, y, Bandwidth::fixed(sigma), true);
        ASSERT_FALSE(r.ok()) << sigma;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidConfig);
        EXPECT_EQ(r.error().message(), "invalid configuration: mmd_rbf: bandwidth must be > 0");
    }
}

TEST(MmdRbfTest, DegenerateBandwidthGivesZero) {
    MatrixF32 x = random_matrix(4, 3, 2), y = random_matrix(5, 3, 3, 4.0f);
    for (double sigma : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e-200,
                         1e200})
        for (bool unbiased : {true, false}) {
            Result<double> r = mmd_rbf(x, y, Bandwidth::fixed(sigma), unbiased);
            ASSERT_TRUE(r.ok()) << sigma;
            EXPECT_TRUE(same_bits(r.value(), 0.0)) << sigma;
        }
}

TEST(MmdRbfTest, InfiniteMedianGivesZero) {
    // Distances 1, 1, 2 and three infinite ones: element 3 of the sorted six is +inf.
    const float inf = std::numeric_limits<float>::infinity();
    MatrixF32 x = column({inf, 0}), y = column({1, 2});
    Result<double> r = mmd_rbf(x, y, Bandwidth::median_heuristic(), true);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 0.0);
}

TEST(MmdRbfTest, NaNInputIsNumericalInstability) {
    MatrixF32 x = random_matrix(6, 3, 4), y = random_matrix(6, 3, 5);
    x.row(2)[1] = std::numeric_limits<float>::quiet_NaN();
    for (Bandwidth bw : {Bandwidth::median_heuristic(), Bandwidth::fixed(1.0)}) {
        Result<double> r = mmd_rbf(x, y, bw, true);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "numerical instability in mmd_rbf (NaN or infinity)");
    }
}

struct ErrorCase {
    std::size_t xr, xc, yr, yc;
    double sigma;
    const char* message;
};

class MmdRbfErrorOrder : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(MmdRbfErrorOrder, FirstFailingCheckWins) {
    const ErrorCase& c = GetParam();
    MatrixF32 x(c.xr, c.xc), y(c.yr, c.yc);
    Result<double> r = mmd_rbf(x, y, Bandwidth::fixed(c.sigma), true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MmdRbfErrorOrder,
    ::testing::Values(ErrorCase{4, 3, 4, 5, 1.0, "dimension mismatch: expected 3, got 5 (mmd_rbf)"},
                      ErrorCase{1, 3, 0, 5, -1.0, "dimension mismatch: expected 3, got 5 (mmd_rbf)"},
                      ErrorCase{1, 2, 10, 2, 1.0, "insufficient samples: need at least 2, got 1 (mmd_rbf)"},
                      ErrorCase{10, 2, 1, 2, 0.0, "insufficient samples: need at least 2, got 1 (mmd_rbf)"},
                      ErrorCase{0, 2, 0, 2, -1.0, "insufficient samples: need at least 2, got 0 (mmd_rbf)"}));

TEST(MmdRbfTest, MedianUsesOnlyFirst256Rows) {
    // The tail of x is far away: it moves the median of all rows but must not
    // move the bandwidth; it still enters the sums.
    MatrixF32 head = random_matrix(256, 5, 6), tail = random_matrix(44, 5, 7, 30.0f);
    MatrixF32 x(300, 5);
    std::copy(head.data.begin(), head.data.end(), x.data.begin());
    std::copy(tail.data.begin(), tail.data.end(), x.data.begin() + 256 * 5);
    MatrixF32 y = random_matrix(10, 5, 8, 0.5f);
    const double capped = ref_median(x, y, 256), uncapped = ref_median(x, y, 1000);
    ASSERT_NE(capped, uncapped);
    const double got = mmd_value(x, y, Bandwidth::median_heuristic(), true);
    EXPECT_TRUE(same_bits(got, mmd_value(x, y, Bandwidth::fixed(capped), true)));
    EXPECT_FALSE(same_bits(got, mmd_value(x, y, Bandwidth::fixed(uncapped), true)));
    EXPECT_NEAR(got, ref_mmd(x, y, capped * capped, true), 1e-12);
}

struct Shape {
    std::size_t n, m, cols;
};

class MmdRbfReference : public ::testing::TestWithParam<Shape> {};

TEST_P(MmdRbfReference, MatchesDirectDoubleLoop) {
    const Shape& sh = GetParam();
    MatrixF32 x = random_matrix(sh.n, sh.cols, 11), y = random_matrix(sh.m, sh.cols, 12, 0.3f, 1.2f);
    const double median = ref_median(x, y, 256);
    for (bool unbiased : {true, false}) {
        const double want_median = ref_mmd(x, y, median * median, unbiased);
        const double want_fixed = ref_mmd(x, y, 0.7 * 0.7, unbiased);
        EXPECT_NEAR(mmd_value(x, y, Bandwidth::median_heuristic(), unbiased), want_median,
                    1e-12 * std::max(1.0, std::abs(want_median)));
        EXPECT_NEAR(mmd_value(x, y, Bandwidth::fixed(0.7), unbiased), want_fixed,
                    1e-12 * std::max(1.0, std::abs(want_fixed)));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MmdRbfReference,
                         ::testing::Values(Shape{2, 2, 1}, Shape{2, 2, 3}, Shape{3, 5, 7}, Shape{17, 9, 33},
                                           Shape{40, 33, 10}, Shape{70, 20, 130}));

TEST(MmdRbfTest, SwappingSamplesAgreesToRounding) {
    MatrixF32 x = random_matrix(31, 12, 13), y = random_matrix(27, 12, 14, 0.2f);
    const double a = mmd_value(x, y, Bandwidth::median_heuristic(), true);
    const double b = mmd_value(y, x, Bandwidth::median_heuristic(), true);
    EXPECT_NEAR(a, b, 1e-14);
}

TEST(MmdRbfTest, RowStrideDoesNotChangeBits) {
    MatrixF32 x = random_matrix(37, 9, 15), y = random_matrix(29, 9, 16, 0.4f);
    std::vector<float> wide(37 * 13, 1e30f);  // rows of 9 inside rows of 13
    for (std::size_t i = 0; i < 37; ++i) std::copy_n(x.row(i), 9, wide.data() + i * 13);
    ViewF32 strided{wide.data(), 37, 9, 13};
    for (bool unbiased : {true, false}) {
        Result<double> r = mmd_rbf(strided, y, Bandwidth::median_heuristic(), unbiased);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(same_bits(r.value(), mmd_value(x, y, Bandwidth::median_heuristic(), unbiased)));
    }
}

TEST(MmdRbfTest, BitIdenticalAcrossThreadCountsAndRuns) {
    MatrixF32 x = random_matrix(301, 40, 17), y = random_matrix(257, 40, 18, 0.1f);
    pool_set_threads(1);
    const double want = mmd_value(x, y, Bandwidth::median_heuristic(), true);
    for (std::size_t threads : {2, 7, 1, 3}) {
        pool_set_threads(threads);
        for (int rep = 0; rep < 3; ++rep)
            EXPECT_TRUE(same_bits(mmd_value(x, y, Bandwidth::median_heuristic(), true), want)) << threads;
    }
    pool_set_threads(0);
    EXPECT_TRUE(same_bits(mmd_value(x, y, Bandwidth::median_heuristic(), true), want));
}

TEST(MmdRbfTest, BitIdenticalAcrossInstructionSets) {
    MatrixF32 x = random_matrix(45, 67, 19), y = random_matrix(38, 67, 20, 0.2f, 3.0f);
    ASSERT_TRUE(mmd_set_isa(MmdIsa::Portable));
    EXPECT_EQ(mmd_active_isa(), MmdIsa::Portable);
    const double want_u = mmd_value(x, y, Bandwidth::median_heuristic(), true);
    const double want_b = mmd_value(x, y, Bandwidth::fixed(5.0), false);
    for (MmdIsa isa : supported_isas()) {
        ASSERT_TRUE(mmd_set_isa(isa));
        EXPECT_EQ(mmd_active_isa(), isa);
        EXPECT_TRUE(same_bits(mmd_value(x, y, Bandwidth::median_heuristic(), true), want_u));
        EXPECT_TRUE(same_bits(mmd_value(x, y, Bandwidth::fixed(5.0), false), want_b));
    }
    EXPECT_TRUE(mmd_set_isa(MmdIsa::Auto));
}

// Every path's per-pair squared distance equals the scalar definition exactly,
// including overflowing differences, subnormals and odd shapes.
TEST(MmdBlockTest, EveryPathMatchesScalarDefinitionPerPair) {
    using namespace mmd_detail;
    std::mt19937 gen(21);
    std::uniform_int_distribution<int> pick(0, 5);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    const float specials[] = {3e38f, -3e38f, 1e-40f, -1e-41f, 0.0f, -0.0f};
    auto value = [&] { return pick(gen) == 0 ? specials[pick(gen)] : nd(gen) * 100.0f; };
    const BlockFn fns[] = {d2_block_portable, d2_block_avx2, d2_block_avx512};
    const std::vector<MmdIsa> isas = supported_isas();
    for (std::size_t cols : {0, 1, 5, 33, 64}) {
        const std::size_t rows = 29, groups = (rows + kMmdLanes - 1) / kMmdLanes;
        MatrixF32 a(4, cols), b(rows, cols);
        for (auto& v : a.data) v = value();
        for (auto& v : b.data) v = value();
        std::vector<float> packed(groups * kMmdLanes * cols, 0.0f);
        for (std::size_t j = 0; j < rows; ++j)
            for (std::size_t t = 0; t < cols; ++t)
                packed[((j / kMmdLanes) * cols + t) * kMmdLanes + j % kMmdLanes] = b.row(j)[t];
        const float* arows[4] = {a.row(0), a.row(1), a.row(2), a.row(3)};
        for (MmdIsa isa : isas) {
            const BlockFn fn = fns[static_cast<int>(isa) - 1];
            for (std::size_t ni = 1; ni <= 4; ++ni)
                for (std::size_t g0 : {std::size_t(0), std::size_t(1)}) {
                    const std::size_t stride = groups * kMmdLanes;
                    std::vector<double> out(4 * stride, -1.0);
                    fn(arows, ni, packed.data(), cols, g0, groups, out.data(), stride);
                    for (std::size_t r = 0; r < ni; ++r)
                        for (std::size_t j = g0 * kMmdLanes; j < rows; ++j) {
                            const double want = ref_d2(a.row(r), b.row(j), cols);
                            const double got = out[r * stride + j - g0 * kMmdLanes];
                            ASSERT_TRUE(same_bits(got, want)) << "isa " << int(isa) << " cols " << cols << " ni "
                                                              << ni << " r " << r << " j " << j;
                        }
                }
        }
    }
}

}  // namespace
}  // namespace morvanta
