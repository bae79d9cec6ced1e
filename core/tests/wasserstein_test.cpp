#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "stats/wasserstein.hpp"
#include "stats/wasserstein_kernels.hpp"

namespace mv = morvanta;
namespace wd = morvanta::wasserstein_detail;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(const mv::Result<double>& r) {
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? std::bit_cast<std::uint64_t>(r.value()) : 0;
}
std::string message(const mv::Result<double>& r) { return r.ok() ? "ok" : r.error().message(); }

mv::MatrixF32 gaussian(std::size_t rows, std::size_t cols, std::uint32_t seed, float shift = 0.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(shift, 1.0f);
    mv::MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = nd(gen);
    return m;
}

mv::MatrixF32 shuffled_rows(const mv::MatrixF32& m, std::uint32_t seed) {
    std::vector<std::size_t> order(m.rows);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    mv::MatrixF32 out(m.rows, m.cols);
    for (std::size_t r = 0; r < m.rows; ++r) std::copy(m.row(order[r]), m.row(order[r]) + m.cols, out.row(r));
    return out;
}

struct W1Case {
    std::vector<double> a, b;
    double expect;
};

class Wasserstein1d : public ::testing::TestWithParam<W1Case> {};

TEST_P(Wasserstein1d, ExactValueBothWays) {
    const W1Case& c = GetParam();
    EXPECT_EQ(bits(mv::wasserstein_1d(c.a, c.b)), std::bit_cast<std::uint64_t>(c.expect));
    EXPECT_EQ(bits(mv::wasserstein_1d(c.b, c.a)), std::bit_cast<std::uint64_t>(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Wasserstein, Wasserstein1d,
    ::testing::Values(W1Case{{0, 0}, {1, 2}, 1.5},  // paired sum
                      W1Case{{0}, {1, 2}, 1.5},     // merged walk, same distributions
                      // One ulp below 0.5: the true divisions 1/3 and 2/3 round down.
                      W1Case{{1, 2, 3}, {1, 2, 3, 4}, 0x1.fffffffffffffp-2},
                      W1Case{{3, 1, 2}, {2, 3, 1}, 0.0}, W1Case{{-0.0}, {0.0, 0.0}, 0.0},
                      W1Case{{2, 0}, {0, 0, 2, 2}, 0.0},
                      // Equal infinite points are 0 apart; an infinite gap without mass difference adds 0.
                      W1Case{{kInf}, {kInf}, 0.0}, W1Case{{1, kInf}, {2, kInf}, 0.5},
                      W1Case{{0, kInf}, {0, 0, kInf, kInf}, 0.0}, W1Case{{-kInf}, {kInf}, kInf}));

TEST(WassersteinTest, OneDimensionalErrors) {
    const std::vector<double> one{1.0}, none{}, nan{1.0, std::numeric_limits<double>::quiet_NaN()};
    const std::string empty = "insufficient samples: need at least 1, got 0 (wasserstein_1d)";
    EXPECT_EQ(message(mv::wasserstein_1d(none, one)), empty);
    EXPECT_EQ(message(mv::wasserstein_1d(one, none)), empty);
    EXPECT_EQ(message(mv::wasserstein_1d(nan, none)), empty);
    EXPECT_EQ(message(mv::wasserstein_1d(one, nan)), "numerical instability in wasserstein_1d (NaN or infinity)");
}

TEST(WassersteinTest, OneDimensionalOrderInvariance) {
    std::mt19937 gen(5);
    std::normal_distribution<double> nd;
    for (auto [m, n] : {std::pair{7u, 7u}, std::pair{1u, 64u}, std::pair{100u, 37u}}) {
        std::vector<double> a(m), b(n);
        for (auto& v : a) v = nd(gen);
        for (auto& v : b) v = nd(gen) * 2.0 + 0.3;
        b[0] = a[0];  // a tie across the samples
        const std::uint64_t ref = bits(mv::wasserstein_1d(a, b));
        std::shuffle(a.begin(), a.end(), gen);
        std::shuffle(b.begin(), b.end(), gen);
        EXPECT_EQ(bits(mv::wasserstein_1d(a, b)), ref);
        EXPECT_EQ(bits(mv::wasserstein_1d(b, a)), ref);
    }
}

TEST(WassersteinTest, SlicedErrorsInOrder) {
    const mv::MatrixF32 x4 = gaussian(3, 4, 1), y4 = gaussian(2, 4, 3), y5 = gaussian(3, 5, 2), e4(0, 4), e5(0, 5);
    const std::string mismatch = "dimension mismatch: expected 4, got 5 (sliced_wasserstein)";
    const std::string empty = "insufficient samples: need at least 1, got 0 (sliced_wasserstein)";
    EXPECT_EQ(message(mv::sliced_wasserstein(x4, y5, 8, 0)), mismatch);
    EXPECT_EQ(message(mv::sliced_wasserstein(e4, e5, 0, 0)), mismatch);
    EXPECT_EQ(message(mv::sliced_wasserstein(e4, y4, 0, 0)), empty);
    EXPECT_EQ(message(mv::sliced_wasserstein(x4, e4, 8, 0)), empty);
    EXPECT_EQ(message(mv::sliced_wasserstein(x4, y4, 0, 0)),
              "invalid configuration: sliced_wasserstein: n_projections must be > 0");

    mv::MatrixF32 nan = x4, opposite = x4, inf = x4;
    nan.row(1)[2] = std::numeric_limits<float>::quiet_NaN();
    opposite.row(0)[0] = std::numeric_limits<float>::infinity();  // +inf and -inf in one row: NaN projection
    opposite.row(0)[3] = -std::numeric_limits<float>::infinity();
    inf.row(2)[1] = std::numeric_limits<float>::infinity();
    for (const auto* bad : {&nan, &opposite}) {
        EXPECT_EQ(message(mv::sliced_wasserstein(*bad, y4, 4, 0)),
                  "numerical instability in sliced_wasserstein (NaN or infinity)");
        EXPECT_EQ(message(mv::sliced_wasserstein(y4, *bad, 4, 0)),
                  "numerical instability in sliced_wasserstein (NaN or infinity)");
    }
    EXPECT_EQ(bits(mv::sliced_wasserstein(inf, y4, 4, 0)), std::bit_cast<std::uint64_t>(kInf));
}

TEST(WassersteinTest, SlicedExactCases) {
    const mv::MatrixF32 x = gaussian(40, 6, 6);
    for (std::uint64_t seed : {0ull, 99ull, ~0ull})
        for (std::size_t p : {1u, 32u}) EXPECT_EQ(bits(mv::sliced_wasserstein(x, x, p, seed)), 0u);
    EXPECT_EQ(bits(mv::sliced_wasserstein(mv::MatrixF32(3, 0), mv::MatrixF32(5, 0), 4, 0)), 0u);
    // One point each on a line: every direction is +-1, so the distance is |2 - (-1.5)|.
    const mv::MatrixF32 a(1, 1, {2.0f}), b(1, 1, {-1.5f});
    EXPECT_EQ(bits(mv::sliced_wasserstein(a, b, 3, 7)), std::bit_cast<std::uint64_t>(3.5));
}

TEST(WassersteinTest, SlicedInvariantToRowOrderSwapAndSeeded) {
    const mv::MatrixF32 x = gaussian(57, 13, 8), y = gaussian(31, 13, 9, 0.4f), xe = gaussian(31, 13, 10);
    for (std::uint64_t seed : {0ull, 12345ull}) {
        const std::uint64_t ref = bits(mv::sliced_wasserstein(x, y, 16, seed));
        EXPECT_EQ(bits(mv::sliced_wasserstein(y, x, 16, seed)), ref);
        EXPECT_EQ(bits(mv::sliced_wasserstein(shuffled_rows(x, 1), shuffled_rows(y, 2), 16, seed)), ref);
        const std::uint64_t eq = bits(mv::sliced_wasserstein(xe, y, 16, seed));  // equal row counts
        EXPECT_EQ(bits(mv::sliced_wasserstein(shuffled_rows(y, 3), shuffled_rows(xe, 4), 16, seed)), eq);
        EXPECT_EQ(bits(mv::sliced_wasserstein(x, y, 16, seed)), ref);
        EXPECT_NE(bits(mv::sliced_wasserstein(x, y, 16, seed + 1)), ref);
    }
}

const char* path_name(wd::ProjectionPath p) {
    return p == wd::ProjectionPath::Avx512 ? "Avx512" : p == wd::ProjectionPath::Avx2 ? "Avx2" : "Portable";
}

class ProjectionPaths : public ::testing::TestWithParam<wd::ProjectionPath> {};

TEST_P(ProjectionPaths, BitIdenticalToPlainSum) {
    const wd::ProjectionPath path = GetParam();
    if (!wd::path_supported(path)) GTEST_SKIP() << "CPU lacks this instruction set";
    for (std::size_t rows : {1u, 7u, 8u, 15u, 16u, 17u, 33u}) {
        for (std::size_t d : {1u, 3u, 17u, 384u}) {
            for (std::size_t P : {1u, 5u, 8u, 9u, 32u}) {
                mv::MatrixF32 x = gaussian(rows, d, static_cast<std::uint32_t>(rows * 1000 + d));
                x.row(0)[0] = 3.0e38f;  // extreme magnitudes expose any extra rounding
                x.row(rows - 1)[d - 1] = 1.0e-40f;
                const std::vector<float> w = wd::draw_directions(P, d, rows + d);
                std::vector<double> got(P * rows);
                wd::project(path, x, w.data(), P, got.data());
                for (std::size_t p = 0; p < P; ++p)
                    for (std::size_t r = 0; r < rows; ++r) {
                        double s = 0.0;
                        for (std::size_t c = 0; c < d; ++c) s += double(x.row(r)[c]) * double(w[p * d + c]);
                        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[p * rows + r]), std::bit_cast<std::uint64_t>(s))
                            << "rows " << rows << " d " << d << " P " << P << " p " << p << " r " << r;
                    }
            }
        }
    }
    const mv::MatrixF32 x = gaussian(101, 384, 17), y = gaussian(77, 384, 18, 0.05f);
    for (std::size_t P : {1u, 64u})
        EXPECT_EQ(bits(wd::sliced_wasserstein_on(path, x, y, P, 3)),
                  bits(wd::sliced_wasserstein_on(wd::ProjectionPath::Portable, x, y, P, 3)));
}

INSTANTIATE_TEST_SUITE_P(Wasserstein, ProjectionPaths,
                         ::testing::Values(wd::ProjectionPath::Portable, wd::ProjectionPath::Avx2,
                                           wd::ProjectionPath::Avx512),
                         [](const auto& info) { return std::string(path_name(info.param)); });

}  // namespace
