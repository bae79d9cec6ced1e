#include <numeric>

#include "stats/wasserstein.hpp"
#include "stats/wasserstein_kernels.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
namespace wd = wasserstein_detail;

std::uint64_t bits(const Result<double>& r) { return std::bit_cast<std::uint64_t>(r.value()); }
std::string message(const Result<double>& r) { return r.ok() ? "ok" : r.error().message(); }

MatrixF32 shuffled_rows(const MatrixF32& m, std::uint32_t seed) {
    std::vector<std::size_t> order(m.rows);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    MatrixF32 out(m.rows, m.cols);
    for (std::size_t r = 0; r < m.rows; ++r) std::copy_n(m.row(order[r]), m.cols, out.row(r));
    return out;
}

struct W1Case : Named {
    std::vector<double> a, b;
    double expect;
};
class Wasserstein1d : public ::testing::TestWithParam<W1Case> {};

TEST_P(Wasserstein1d, ExactValueBothWays) {
    const W1Case& c = GetParam();
    EXPECT_EQ(bits(wasserstein_1d(c.a, c.b)), std::bit_cast<std::uint64_t>(c.expect));
    EXPECT_EQ(bits(wasserstein_1d(c.b, c.a)), std::bit_cast<std::uint64_t>(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Wasserstein, Wasserstein1d,
    ::testing::Values(W1Case{"paired_sum", {0, 0}, {1, 2}, 1.5}, W1Case{"merged_walk", {0}, {1, 2}, 1.5},
                      // One ulp below 0.5: the true divisions 1/3 and 2/3 round down.
                      W1Case{"rounded_steps", {1, 2, 3}, {1, 2, 3, 4}, 0x1.fffffffffffffp-2},
                      W1Case{"permuted", {3, 1, 2}, {2, 3, 1}, 0.0}, W1Case{"signed_zeros", {-0.0}, {0.0, 0.0}, 0.0},
                      W1Case{"same_distribution", {2, 0}, {0, 0, 2, 2}, 0.0},
                      // Equal infinite points are 0 apart; an infinite gap without mass difference adds 0.
                      W1Case{"equal_infinities", {INFINITY}, {INFINITY}, 0.0},
                      W1Case{"shared_infinity", {1, INFINITY}, {2, INFINITY}, 0.5},
                      W1Case{"infinite_gap", {0, INFINITY}, {0, 0, INFINITY, INFINITY}, 0.0},
                      W1Case{"opposite_infinities", {-INFINITY}, {INFINITY}, INFINITY}),
    param_name);

TEST(WassersteinTest, OneDimensionalErrorsAndOrderInvariance) {
    const std::vector<double> one{1.0}, none{}, nan{1.0, NAN};
    for (auto [a, b] : {std::pair{none, one}, std::pair{one, none}, std::pair{nan, none}})
        EXPECT_EQ(message(wasserstein_1d(a, b)), "insufficient samples: need at least 1, got 0 (wasserstein_1d)");
    EXPECT_EQ(message(wasserstein_1d(one, nan)), "numerical instability in wasserstein_1d (NaN or infinity)");
    std::mt19937 gen(5);
    std::normal_distribution<double> nd;
    for (auto [m, n] : {std::pair{7u, 7u}, std::pair{1u, 64u}, std::pair{100u, 37u}}) {
        std::vector<double> a(m), b(n);
        for (auto& v : a) v = nd(gen);
        for (auto& v : b) v = nd(gen) * 2.0 + 0.3;
        b[0] = a[0];  // a tie across the samples
        const std::uint64_t ref = bits(wasserstein_1d(a, b));
        std::shuffle(a.begin(), a.end(), gen);
        std::shuffle(b.begin(), b.end(), gen);
        EXPECT_EQ(bits(wasserstein_1d(a, b)), ref);
        EXPECT_EQ(bits(wasserstein_1d(b, a)), ref);
    }
}

// Column counts, then rows, then the projection count; NaN projections fail, infinite ones do not.
TEST(WassersteinTest, SlicedErrorsInOrder) {
    const MatrixF32 x4 = gaussian(3, 4, 1), y4 = gaussian(2, 4, 3), e4(0, 4), e5(0, 5);
    EXPECT_EQ(message(sliced_wasserstein(e4, e5, 0, 0)), "dimension mismatch: expected 4, got 5 (sliced_wasserstein)");
    EXPECT_EQ(message(sliced_wasserstein(e4, y4, 0, 0)),
              "insufficient samples: need at least 1, got 0 (sliced_wasserstein)");
    EXPECT_EQ(message(sliced_wasserstein(x4, y4, 0, 0)),
              "invalid configuration: sliced_wasserstein: n_projections must be > 0");
    MatrixF32 nan = x4, opposite = x4, inf = x4;
    nan.row(1)[2] = NAN;
    opposite.row(0)[0] = INFINITY, opposite.row(0)[3] = -INFINITY;  // +inf and -inf in one row: NaN projection
    inf.row(2)[1] = INFINITY;
    for (const auto* bad : {&nan, &opposite})
        for (auto [a, b] : {std::pair{bad, &y4}, std::pair{&y4, bad}})
            EXPECT_EQ(message(sliced_wasserstein(*a, *b, 4, 0)),
                      "numerical instability in sliced_wasserstein (NaN or infinity)");
    EXPECT_EQ(bits(sliced_wasserstein(inf, y4, 4, 0)), std::bit_cast<std::uint64_t>(double(INFINITY)));
}

TEST(WassersteinTest, SlicedExactCases) {
    const MatrixF32 x = gaussian(40, 6, 6);
    for (std::uint64_t seed : {0ull, 99ull, ~0ull})
        for (std::size_t p : {1u, 32u}) EXPECT_EQ(bits(sliced_wasserstein(x, x, p, seed)), 0u);
    EXPECT_EQ(bits(sliced_wasserstein(MatrixF32(3, 0), MatrixF32(5, 0), 4, 0)), 0u);
    // One point each on a line: every direction is +-1, so the distance is |2 - (-1.5)|.
    EXPECT_EQ(bits(sliced_wasserstein(MatrixF32(1, 1, {2.0f}), MatrixF32(1, 1, {-1.5f}), 3, 7)),
              std::bit_cast<std::uint64_t>(3.5));
}

// Row order and sides, for unequal and for equal row counts (the paired walk).
TEST(WassersteinTest, SlicedInvariantToRowOrderAndSwap) {
    const MatrixF32 x = gaussian(57, 13, 8), y = gaussian(31, 13, 9, 0.4f), xe = gaussian(31, 13, 10);
    for (std::uint64_t seed : {0ull, 12345ull}) {
        const std::uint64_t ref = bits(sliced_wasserstein(x, y, 16, seed)),
                            eq = bits(sliced_wasserstein(xe, y, 16, seed));
        EXPECT_EQ(bits(sliced_wasserstein(y, x, 16, seed)), ref);
        EXPECT_EQ(bits(sliced_wasserstein(shuffled_rows(x, 1), shuffled_rows(y, 2), 16, seed)), ref);
        EXPECT_EQ(bits(sliced_wasserstein(shuffled_rows(y, 3), shuffled_rows(xe, 4), 16, seed)), eq);
        EXPECT_NE(bits(sliced_wasserstein(x, y, 16, seed + 1)), ref);
    }
}

class ProjectionPaths : public PathTest {};

TEST_P(ProjectionPaths, BitIdenticalToPlainSum) {
    for (std::size_t rows : {1u, 7u, 8u, 15u, 16u, 17u, 33u})
        for (std::size_t d : {1u, 3u, 17u, 384u})
            for (std::size_t P : {1u, 5u, 8u, 9u, 32u}) {
                MatrixF32 x = gaussian(rows, d, static_cast<std::uint32_t>(rows * 1000 + d));
                x.row(0)[0] = 3.0e38f;  // extreme magnitudes expose any extra rounding
                x.row(rows - 1)[d - 1] = 1.0e-40f;
                const std::vector<float> w = wd::draw_directions(P, d, rows + d);
                std::vector<double> got(P * rows);
                wd::project(GetParam(), x, w.data(), P, got.data());
                for (std::size_t i = 0; i < P * rows; ++i) {
                    double s = 0.0;
                    for (std::size_t c = 0; c < d; ++c) s += double(x.row(i % rows)[c]) * double(w[i / rows * d + c]);
                    ASSERT_TRUE(same_bits(got[i], s)) << "rows " << rows << " d " << d << " P " << P << " at " << i;
                }
            }
    const MatrixF32 x = gaussian(101, 384, 17), y = gaussian(77, 384, 18, 0.05f);
    for (std::size_t P : {1u, 64u})
        EXPECT_EQ(bits(wd::sliced_wasserstein_on(GetParam(), x, y, P, 3)),
                  bits(wd::sliced_wasserstein_on(SimdPath::Portable, x, y, P, 3)));
}

INSTANTIATE_TEST_SUITE_P(Wasserstein, ProjectionPaths, kAllPaths, param_name);

}  // namespace
}  // namespace morvanta
