#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "stats/wasserstein.hpp"
#include "stats/wasserstein_kernels.hpp"

namespace mv = morvanta;
namespace wd = morvanta::wasserstein_detail;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

double w1(std::vector<double> a, std::vector<double> b) {
    auto r = mv::wasserstein_1d(a, b);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : kNaN;
}

mv::MatrixF32 random_matrix(std::size_t rows, std::size_t cols, std::uint32_t seed, float shift = 0.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(shift, 1.0f);
    mv::MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = nd(gen);
    return m;
}

mv::MatrixF32 permute_rows(const mv::MatrixF32& m, std::uint32_t seed) {
    std::vector<std::size_t> order(m.rows);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    mv::MatrixF32 out(m.rows, m.cols);
    for (std::size_t r = 0; r < m.rows; ++r) std::copy(m.row(order[r]), m.row(order[r]) + m.cols, out.row(r));
    return out;
}

double sw(const mv::MatrixF32& x, const mv::MatrixF32& y, std::size_t p, std::uint64_t seed) {
    auto r = mv::sliced_wasserstein(x, y, p, seed);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : kNaN;
}

struct W1Case {
    std::vector<double> a, b;
    double expect;
};

class Wasserstein1dExact : public ::testing::TestWithParam<W1Case> {};

TEST_P(Wasserstein1dExact, ValueAndSymmetry) {
    const W1Case& c = GetParam();
    EXPECT_EQ(bits(w1(c.a, c.b)), bits(c.expect));
    EXPECT_EQ(bits(w1(c.b, c.a)), bits(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Wasserstein1d, Wasserstein1dExact,
    ::testing::Values(W1Case{{0, 0}, {1, 2}, 1.5},           // equal sizes
                      W1Case{{0}, {1, 2}, 1.5},              // merged walk, same distributions
                      // One ulp below 0.5: the weights 1/3 - 1/4 and 2/3 - 2/4 are formed from
                      // rounded true divisions and both come out just under 1/12 and 1/6.
                      W1Case{{1, 2, 3}, {1, 2, 3, 4}, 0x1.fffffffffffffp-2},
                      W1Case{{3, 1, 2}, {2, 3, 1}, 0.0}, W1Case{{5}, {5}, 0.0}, W1Case{{-0.0}, {0.0, 0.0}, 0.0},
                      W1Case{{2, 0}, {0, 0, 2, 2}, 0.0},  // same distribution, different sizes
                      // Infinities: equal infinite points are at distance 0, and an infinite gap
                      // carrying no mass difference adds nothing.
                      W1Case{{kInf}, {kInf}, 0.0}, W1Case{{1, kInf}, {2, kInf}, 0.5},
                      W1Case{{0, kInf}, {0, 0, kInf, kInf}, 0.0}, W1Case{{-kInf}, {kInf}, kInf},
                      W1Case{{0, kInf}, {0, 0, kInf}, kInf}));

TEST(Wasserstein1d, Errors) {
    const std::vector<double> one{1.0}, empty{}, with_nan{1.0, kNaN, 2.0};
    for (auto [a, b] : {std::pair{empty, one}, std::pair{one, empty}, std::pair{empty, empty}}) {
        auto r = mv::wasserstein_1d(a, b);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "insufficient samples: need at least 1, got 0 (wasserstein_1d)");
    }
    for (auto [a, b] : {std::pair{with_nan, one}, std::pair{one, with_nan}, std::pair{with_nan, with_nan}}) {
        auto r = mv::wasserstein_1d(a, b);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(), "numerical instability in wasserstein_1d (NaN or infinity)");
    }
    // Empty wins over NaN.
    auto r = mv::wasserstein_1d(with_nan, empty);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, mv::ErrorKind::InsufficientSamples);
}

TEST(Wasserstein1d, OrderInvarianceBitForBit) {
    std::mt19937 gen(5);
    std::normal_distribution<double> nd;
    for (std::size_t m : {1u, 7u, 100u}) {
        for (std::size_t n : {1u, 7u, 64u, 100u}) {
            std::vector<double> a(m), b(n);
            for (auto& v : a) v = nd(gen);
            for (auto& v : b) v = nd(gen) * 2.0 + 0.3;
            b[0] = a[0];  // a tie across the samples
            const double ref = w1(a, b);
            EXPECT_EQ(bits(ref), bits(w1(b, a)));
            for (int k = 0; k < 3; ++k) {
                std::shuffle(a.begin(), a.end(), gen);
                std::shuffle(b.begin(), b.end(), gen);
                ASSERT_EQ(bits(ref), bits(w1(a, b))) << m << "x" << n;
            }
            EXPECT_EQ(w1(a, a), 0.0);
        }
    }
}

// Integral of |F - G| over the merged support in long double, an independent form of
// the same distance, and equal-size samples against their doubled copies (same
// distribution, merged walk instead of the paired sum).
TEST(Wasserstein1d, AgreesWithCdfIntegralAndAcrossPaths) {
    std::mt19937 gen(17);
    std::exponential_distribution<double> ed(0.5);
    for (auto [m, n] : {std::pair{50u, 50u}, std::pair{50u, 73u}, std::pair{3u, 200u}}) {
        std::vector<double> a(m), b(n);
        for (auto& v : a) v = ed(gen);
        for (auto& v : b) v = ed(gen) + 0.25;
        std::vector<double> z(a);
        z.insert(z.end(), b.begin(), b.end());
        std::sort(z.begin(), z.end());
        long double ref = 0.0L;
        for (std::size_t k = 0; k + 1 < z.size(); ++k) {
            const auto fa = std::count_if(a.begin(), a.end(), [&](double v) { return v <= z[k]; });
            const auto fb = std::count_if(b.begin(), b.end(), [&](double v) { return v <= z[k]; });
            ref += (static_cast<long double>(z[k + 1]) - z[k]) *
                   std::fabs(static_cast<long double>(fa) / m - static_cast<long double>(fb) / n);
        }
        EXPECT_NEAR(w1(a, b), static_cast<double>(ref), 1e-12 * static_cast<double>(ref));
        std::vector<double> aa(a);
        aa.insert(aa.end(), a.begin(), a.end());
        EXPECT_NEAR(w1(aa, b), w1(a, b), 1e-12 * w1(a, b));
    }
}

TEST(SlicedWasserstein, ErrorsInOrder) {
    const mv::MatrixF32 x4 = random_matrix(3, 4, 1), y5 = random_matrix(3, 5, 2), empty4(0, 4), empty5(0, 5);
    const mv::MatrixF32 y4 = random_matrix(2, 4, 3);
    auto msg = [](const mv::MatrixF32& x, const mv::MatrixF32& y, std::size_t p) {
        auto r = mv::sliced_wasserstein(x, y, p, 0);
        return r.ok() ? std::string("ok") : r.error().message();
    };
    EXPECT_EQ(msg(x4, y5, 8), "dimension mismatch: expected 4, got 5 (sliced_wasserstein)");
    EXPECT_EQ(msg(empty4, empty5, 0), "dimension mismatch: expected 4, got 5 (sliced_wasserstein)");
    EXPECT_EQ(msg(x4, empty5, 8), "dimension mismatch: expected 4, got 5 (sliced_wasserstein)");
    EXPECT_EQ(msg(empty4, y4, 0), "insufficient samples: need at least 1, got 0 (sliced_wasserstein)");
    EXPECT_EQ(msg(x4, empty4, 8), "insufficient samples: need at least 1, got 0 (sliced_wasserstein)");
    EXPECT_EQ(msg(x4, y4, 0), "invalid configuration: sliced_wasserstein: n_projections must be > 0");
    EXPECT_EQ(msg(x4, y4, 1), "ok");
}

TEST(SlicedWasserstein, NonFiniteInputs) {
    mv::MatrixF32 x = random_matrix(6, 3, 4), y = random_matrix(5, 3, 5);
    mv::MatrixF32 xn = x;
    xn.row(2)[1] = std::numeric_limits<float>::quiet_NaN();
    mv::MatrixF32 xo = x;  // opposite infinities in one row: a NaN projection
    xo.row(1)[0] = std::numeric_limits<float>::infinity();
    xo.row(1)[2] = -std::numeric_limits<float>::infinity();
    for (const auto* bad : {&xn, &xo}) {
        for (auto r : {mv::sliced_wasserstein(*bad, y, 4, 0), mv::sliced_wasserstein(y, *bad, 4, 0)}) {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().message(), "numerical instability in sliced_wasserstein (NaN or infinity)");
        }
    }
    mv::MatrixF32 xi = x;
    xi.row(0)[0] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(sw(xi, y, 4, 0), kInf);
}

TEST(SlicedWasserstein, ExactCases) {
    const mv::MatrixF32 x = random_matrix(40, 6, 6);
    for (std::uint64_t seed : {0ull, 1ull, 99ull, ~0ull})
        for (std::size_t p : {1u, 2u, 32u}) EXPECT_EQ(sw(x, x, p, seed), 0.0);
    // No components: every projection is 0.
    EXPECT_EQ(sw(mv::MatrixF32(3, 0), mv::MatrixF32(5, 0), 4, 0), 0.0);
    // Single points on a line: the distance is |a - b| along the only direction (+-1).
    mv::MatrixF32 a(1, 1, {2.0f}), b(1, 1, {-1.5f});
    EXPECT_EQ(sw(a, b, 3, 7), 3.5);
    // Different row counts, one-point sample.
    EXPECT_GT(sw(random_matrix(1, 6, 7), x, 8, 0), 0.0);
}

TEST(SlicedWasserstein, InvariantToRowOrderAndSwapBitForBit) {
    const mv::MatrixF32 x = random_matrix(57, 13, 8), y = random_matrix(31, 13, 9, 0.4f);
    const mv::MatrixF32 xe = random_matrix(31, 13, 10);
    for (std::uint64_t seed : {0ull, 12345ull}) {
        const double ref = sw(x, y, 16, seed);
        EXPECT_EQ(bits(ref), bits(sw(y, x, 16, seed)));
        EXPECT_EQ(bits(ref), bits(sw(permute_rows(x, 1), permute_rows(y, 2), 16, seed)));
        const double eq = sw(xe, y, 16, seed);  // equal row counts: the paired path
        EXPECT_EQ(bits(eq), bits(sw(permute_rows(y, 3), permute_rows(xe, 4), 16, seed)));
    }
}

TEST(SlicedWasserstein, DeterministicUnderSeed) {
    const mv::MatrixF32 x = random_matrix(20, 8, 11), y = random_matrix(25, 8, 12, 0.2f);
    EXPECT_EQ(bits(sw(x, y, 32, 5)), bits(sw(x, y, 32, 5)));
    EXPECT_NE(sw(x, y, 32, 5), sw(x, y, 32, 6));
    EXPECT_NE(sw(x, y, 32, 0), sw(x, y, 32, 1));
}

TEST(SlicedWasserstein, DirectionsAreUnitRows) {
    const std::vector<float> w = wd::draw_directions(5, 384, 3);
    for (std::size_t p = 0; p < 5; ++p) {
        double s = 0.0;
        for (std::size_t c = 0; c < 384; ++c) s += double(w[p * 384 + c]) * w[p * 384 + c];
        EXPECT_NEAR(s, 1.0, 1e-5);
    }
    EXPECT_TRUE(wd::draw_directions(4, 0, 3).empty());
}

TEST(SlicedWasserstein, StridedViewMatchesContiguous) {
    const mv::MatrixF32 x = random_matrix(19, 5, 13), y = random_matrix(23, 5, 14);
    mv::MatrixF32 wide(19, 9);
    for (std::size_t r = 0; r < 19; ++r) {
        std::copy(x.row(r), x.row(r) + 5, wide.row(r));
        std::fill(wide.row(r) + 5, wide.row(r) + 9, 1e30f);
    }
    const mv::ViewF32 strided{wide.data.data(), 19, 5, 9};
    auto r = mv::sliced_wasserstein(strided, y, 7, 2);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(bits(r.value()), bits(sw(x, y, 7, 2)));
}

// Pipeline against a straightforward long-double evaluation of the same definition.
TEST(SlicedWasserstein, AgreesWithDirectEvaluation) {
    const mv::MatrixF32 x = random_matrix(30, 10, 15), y = random_matrix(45, 10, 16, 0.5f);
    const std::size_t P = 6;
    const std::vector<float> w = wd::draw_directions(P, 10, 21);
    long double total = 0.0L;
    for (std::size_t p = 0; p < P; ++p) {
        auto proj = [&](const mv::MatrixF32& m) {
            std::vector<double> out(m.rows);
            for (std::size_t r = 0; r < m.rows; ++r) {
                long double s = 0.0L;
                for (std::size_t c = 0; c < 10; ++c) s += static_cast<long double>(m.row(r)[c]) * w[p * 10 + c];
                out[r] = static_cast<double>(s);
            }
            return out;
        };
        total += w1(proj(x), proj(y));
    }
    const double expect = static_cast<double>(total / P);
    EXPECT_NEAR(sw(x, y, P, 21), expect, 1e-12 * expect);
}

class ProjectionPaths : public ::testing::TestWithParam<wd::ProjectionPath> {};

TEST_P(ProjectionPaths, BitIdenticalToReference) {
    const wd::ProjectionPath path = GetParam();
    if (!wd::path_supported(path)) GTEST_SKIP() << "CPU lacks this instruction set";
    for (std::size_t rows : {1u, 7u, 8u, 15u, 16u, 17u, 33u}) {
        for (std::size_t d : {1u, 3u, 17u, 384u}) {
            for (std::size_t P : {1u, 5u, 8u, 9u, 32u}) {
                mv::MatrixF32 x = random_matrix(rows, d, static_cast<std::uint32_t>(rows * 1000 + d));
                // Extreme magnitudes make any rounding difference visible.
                x.row(0)[0] = 3.0e38f;
                if (d > 1) x.row(rows - 1)[d - 1] = 1.0e-40f;
                const std::vector<float> w = wd::draw_directions(P, d, rows + d);
                std::vector<double> got(P * rows, kNaN);
                wd::project(path, x, w.data(), P, got.data());
                for (std::size_t p = 0; p < P; ++p) {
                    for (std::size_t r = 0; r < rows; ++r) {
                        double s = 0.0;
                        for (std::size_t c = 0; c < d; ++c)
                            s += static_cast<double>(x.row(r)[c]) * static_cast<double>(w[p * d + c]);
                        ASSERT_EQ(bits(got[p * rows + r]), bits(s))
                            << "rows " << rows << " d " << d << " P " << P << " p " << p << " r " << r;
                    }
                }
            }
        }
    }
}

TEST_P(ProjectionPaths, SlicedDistanceBitIdentical) {
    const wd::ProjectionPath path = GetParam();
    if (!wd::path_supported(path)) GTEST_SKIP() << "CPU lacks this instruction set";
    const mv::MatrixF32 x = random_matrix(101, 384, 17), y = random_matrix(77, 384, 18, 0.05f);
    for (std::size_t P : {1u, 32u, 64u}) {
        auto ref = wd::sliced_wasserstein_on(wd::ProjectionPath::Portable, x, y, P, 3);
        auto got = wd::sliced_wasserstein_on(path, x, y, P, 3);
        ASSERT_TRUE(ref.ok() && got.ok());
        EXPECT_EQ(bits(ref.value()), bits(got.value())) << P;
    }
}

INSTANTIATE_TEST_SUITE_P(SlicedWasserstein, ProjectionPaths,
                         ::testing::Values(wd::ProjectionPath::Portable, wd::ProjectionPath::Avx2,
                                           wd::ProjectionPath::Avx512),
                         [](const auto& info) {
                             switch (info.param) {
                                 case wd::ProjectionPath::Avx2: return std::string("Avx2");
                                 case wd::ProjectionPath::Avx512: return std::string("Avx512");
                                 default: return std::string("Portable");
                             }
                         });

TEST(SlicedWasserstein, ConcurrentCallsAgree) {
    const mv::MatrixF32 x = random_matrix(200, 32, 19), y = random_matrix(150, 32, 20, 0.1f);
    const double ref = sw(x, y, 32, 9);
    std::vector<double> got(4, kNaN);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            auto r = mv::sliced_wasserstein(x, y, 32, 9);
            if (r.ok()) got[t] = r.value();
        });
    for (auto& t : threads) t.join();
    for (double g : got) EXPECT_EQ(bits(g), bits(ref));
}

}  // namespace
