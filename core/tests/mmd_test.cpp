#include <array>

#include "pool.hpp"
#include "stats/mmd.hpp"
#include "stats/mmd_simd.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
const Bandwidth kMedian = Bandwidth::median_heuristic();

double mmd(const MatrixF32& x, const MatrixF32& y, Bandwidth bw, bool unbiased = true) {
    return mmd_rbf(x, y, bw, unbiased).value();
}

double ref_d2(const float* a, const float* b, std::size_t cols) {
    double s = 0.0;
    for (std::size_t t = 0; t < cols; ++t) s += double(a[t] - b[t]) * double(a[t] - b[t]);
    return s;
}

// Median distance of the first `cap` rows of each sample, pooled, by brute force.
double ref_median(const MatrixF32& x, const MatrixF32& y, std::size_t cap) {
    std::vector<const float*> rows;
    for (const MatrixF32* m : {&x, &y})
        for (std::size_t i = 0; i < std::min(cap, m->rows); ++i) rows.push_back(m->row(i));
    std::vector<double> d;
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = i + 1; j < rows.size(); ++j) d.push_back(std::sqrt(ref_d2(rows[i], rows[j], x.cols)));
    std::sort(d.begin(), d.end());
    return d[d.size() / 2];
}

// Kernel sum as a plain double loop over all pairs.
double ref_sum(const MatrixF32& a, const MatrixF32& b, double s, bool skip_diag) {
    double t = 0;
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < b.rows; ++j)
            if (!(skip_diag && i == j)) t += std::exp(-ref_d2(a.row(i), b.row(j), a.cols) / (2 * s));
    return t;
}

double ref_mmd(const MatrixF32& x, const MatrixF32& y, double s, bool unbiased) {
    const double n = double(x.rows), m = double(y.rows), kxx = ref_sum(x, x, s, true), kyy = ref_sum(y, y, s, true);
    const double cross = 2 * ref_sum(x, y, s, false) / (n * m);
    if (unbiased) return kxx / (n * (n - 1)) + kyy / (m * (m - 1)) - cross;
    return (kxx + n) / (n * n) + (kyy + m) / (m * m) - cross;
}

TEST(MmdRbfTest, OneColumnMedianIsUpperMiddleDistance) {
    // Pooled distances 1, 3, 7, 2, 6, 4: the median is 4 (index 3), so s = 16.
    MatrixF32 x(2, 1, {0, 1}), y(2, 1, {3, 7});
    for (bool unbiased : {true, false}) {
        EXPECT_TRUE(same_bits(mmd(x, y, kMedian, unbiased), mmd(x, y, Bandwidth::fixed(4.0), unbiased)));
        EXPECT_FALSE(same_bits(mmd(x, y, kMedian, unbiased), mmd(x, y, Bandwidth::fixed(3.5), unbiased)));
    }
}

TEST(MmdRbfTest, SelfComparisonIsTwiceMeanKernelMinusOneOverN) {
    MatrixF32 x = gaussian(23, 6, 1);
    const double n = double(x.rows), a = ref_sum(x, x, 2.25, true) / (n * (n - 1));  // mean kernel value
    const double got = mmd(x, x, Bandwidth::fixed(1.5));
    EXPECT_LT(got, 0.0);
    EXPECT_NEAR(got, 2 * (a - 1) / n, 1e-12 * std::abs(got));
}

TEST(MmdRbfTest, ExactZeros) {
    MatrixF32 x(5, 4), y(7, 4);  // every row equal: median 0, s = eps, every kernel value 1
    for (auto* m : {&x, &y})
        for (std::size_t i = 0; i < m->data.size(); ++i) m->data[i] = std::array{1.5f, -2.0f, 0.25f, 8.0f}[i % 4];
    MatrixF32 x0(3, 0), y0(4, 0);  // no columns: every distance 0
    for (bool unbiased : {true, false}) {
        EXPECT_TRUE(same_bits(mmd(x, y, kMedian, unbiased), 0.0));
        EXPECT_TRUE(same_bits(mmd(x0, y0, kMedian, unbiased), 0.0));
        EXPECT_TRUE(same_bits(mmd(x0, y0, Bandwidth::fixed(1.0), unbiased), 0.0));
    }
    // A median of +inf (three of six distances infinite) also gives 0.
    EXPECT_TRUE(same_bits(mmd(MatrixF32(2, 1, {INFINITY, 0}), MatrixF32(2, 1, {1, 2}), kMedian), 0.0));
}

struct Case : Named {
    std::size_t xr, xc, yr, yc;
    double sigma;
    const char* message;  // nullptr: success with the result 0.0
};
class MmdRbfCases : public ::testing::TestWithParam<Case> {};

TEST_P(MmdRbfCases, ChecksInOrderAndDegenerateBandwidths) {
    const Case& c = GetParam();
    MatrixF32 x = gaussian(c.xr, c.xc, 2), y = gaussian(c.yr, c.yc, 3, 4.0f);
    for (bool unbiased : {true, false}) {
        Result<double> r = mmd_rbf(x, y, Bandwidth::fixed(c.sigma), unbiased);
        if (c.message) EXPECT_EQ(r.error().message(), c.message);
        else EXPECT_TRUE(same_bits(r.value(), 0.0));
    }
}

const char* const kBadSigma = "invalid configuration: mmd_rbf: bandwidth must be > 0";
INSTANTIATE_TEST_SUITE_P(
    Cases, MmdRbfCases,
    ::testing::Values(
        Case{"cols_before_rows", 1, 3, 0, 5, -1.0, "dimension mismatch: expected 3, got 5 (mmd_rbf)"},
        Case{"rows_before_sigma", 10, 2, 1, 2, 0.0, "insufficient samples: need at least 2, got 1 (mmd_rbf)"},
        Case{"sigma_zero", 4, 3, 5, 3, 0.0, kBadSigma}, Case{"sigma_minus_zero", 4, 3, 5, 3, -0.0, kBadSigma},
        Case{"sigma_negative", 4, 3, 5, 3, -1.0, kBadSigma}, Case{"sigma_nan", 4, 3, 5, 3, NAN, nullptr},
        Case{"sigma_inf", 4, 3, 5, 3, INFINITY, nullptr}, Case{"square_underflows", 4, 3, 5, 3, 1e-200, nullptr},
        Case{"square_overflows", 4, 3, 5, 3, 1e200, nullptr}),
    param_name);

TEST(MmdRbfTest, NaNInputIsNumericalInstability) {
    MatrixF32 x = gaussian(6, 3, 4), y = gaussian(6, 3, 5);
    x.row(2)[1] = NAN;
    for (Bandwidth bw : {kMedian, Bandwidth::fixed(1.0)})
        EXPECT_EQ(mmd_rbf(x, y, bw, true).error().message(), "numerical instability in mmd_rbf (NaN or infinity)");
}

// x's tail is far away: it would move the median of all rows, but it only enters the sums.
TEST(MmdRbfTest, MedianUsesOnlyFirst256Rows) {
    MatrixF32 x = gaussian(300, 5, 6), tail = gaussian(44, 5, 7, 30.0f), y = gaussian(10, 5, 8, 0.5f);
    std::copy(tail.data.begin(), tail.data.end(), x.data.begin() + 256 * 5);
    const double capped = ref_median(x, y, 256);
    ASSERT_NE(capped, ref_median(x, y, 1000));
    const double got = mmd(x, y, kMedian);
    EXPECT_TRUE(same_bits(got, mmd(x, y, Bandwidth::fixed(capped))));
    EXPECT_NEAR(got, ref_mmd(x, y, capped * capped, true), 1e-12);
}

class MmdRbfReference : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(MmdRbfReference, MatchesDirectDoubleLoop) {
    const auto [n, m, cols] = GetParam();
    MatrixF32 x = gaussian(n, cols, 11), y = gaussian(m, cols, 12, 0.3f, 1.2f);
    const double med = ref_median(x, y, 256);
    for (bool unbiased : {true, false}) {
        EXPECT_NEAR(mmd(x, y, kMedian, unbiased), ref_mmd(x, y, med * med, unbiased), 1e-12);
        EXPECT_NEAR(mmd(x, y, Bandwidth::fixed(0.7), unbiased), ref_mmd(x, y, 0.49, unbiased), 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MmdRbfReference,
                         ::testing::Values(std::make_tuple(2, 2, 1), std::make_tuple(2, 2, 3), std::make_tuple(3, 5, 7),
                                           std::make_tuple(17, 9, 33), std::make_tuple(70, 20, 130)));

TEST(MmdRbfTest, BitIdenticalAcrossThreadCountsAndPaths) {
    MatrixF32 x = gaussian(301, 67, 17), y = gaussian(257, 67, 18, 0.1f, 3.0f);
    ASSERT_TRUE(mmd_set_isa(MmdIsa::Portable));
    pool_set_threads(1);
    const double want = mmd(x, y, kMedian), want_b = mmd(x, y, Bandwidth::fixed(5.0), false);
    for (MmdIsa isa : {MmdIsa::Portable, MmdIsa::Avx2, MmdIsa::Avx512, MmdIsa::Auto}) {
        if (!mmd_set_isa(isa)) continue;
        for (std::size_t threads : {2, 7, 1}) {
            pool_set_threads(threads);
            EXPECT_TRUE(same_bits(mmd(x, y, kMedian), want)) << int(isa) << " " << threads;
            EXPECT_TRUE(same_bits(mmd(x, y, Bandwidth::fixed(5.0), false), want_b)) << int(isa) << " " << threads;
        }
    }
    pool_set_threads(0);
}

// Every path's per-pair squared distance equals the scalar definition exactly,
// with overflowing differences, subnormals, signed zeros and odd shapes.
TEST(MmdBlockTest, EveryPathMatchesScalarDefinitionPerPair) {
    using namespace mmd_detail;
    std::mt19937 gen(21);
    std::uniform_int_distribution<int> pick(0, 5);
    std::normal_distribution<float> nd(0.0f, 100.0f);
    const float specials[] = {3e38f, -3e38f, 1e-40f, -1e-41f, 0.0f, -0.0f};
    const std::pair<MmdIsa, BlockFn> paths[] = {
        {MmdIsa::Portable, d2_block_portable}, {MmdIsa::Avx2, d2_block_avx2}, {MmdIsa::Avx512, d2_block_avx512}};
    for (std::size_t cols : {0, 1, 5, 64}) {
        const std::size_t rows = 29, groups = 4, stride = groups * kMmdLanes;
        MatrixF32 a(4, cols), b(rows, cols);
        for (auto* m : {&a, &b})
            for (auto& v : m->data) v = pick(gen) == 0 ? specials[pick(gen)] : nd(gen);
        std::vector<float> packed(stride * cols, 0.0f);
        for (std::size_t j = 0; j < rows; ++j)
            for (std::size_t t = 0; t < cols; ++t) packed[((j / 8) * cols + t) * 8 + j % 8] = b.row(j)[t];
        const float* arows[4] = {a.row(0), a.row(1), a.row(2), a.row(3)};
        for (auto [isa, fn] : paths) {
            if (!mmd_set_isa(isa)) continue;
            for (std::size_t ni = 1; ni <= 4; ++ni)
                for (std::size_t g0 : {0, 1}) {
                    std::vector<double> out(4 * stride, -1.0);
                    fn(arows, ni, packed.data(), cols, g0, groups, out.data(), stride);
                    for (std::size_t r = 0; r < ni; ++r)
                        for (std::size_t j = g0 * 8; j < rows; ++j)
                            ASSERT_TRUE(same_bits(out[r * stride + j - g0 * 8], ref_d2(a.row(r), b.row(j), cols)))
                                << int(isa) << " cols " << cols << " ni " << ni << " r " << r << " j " << j;
                }
        }
    }
    EXPECT_TRUE(mmd_set_isa(MmdIsa::Auto));
}

}  // namespace
}  // namespace morvanta
