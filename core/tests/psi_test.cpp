#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>
#include "stats/psi.hpp"
#include "stats/sort.hpp"

namespace morvanta {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The index from bin counts, term by term in ascending bin order.
double from_counts(const std::vector<std::uint64_t>& b, const std::vector<std::uint64_t>& c, double eps) {
    std::uint64_t nb = 0, nc = 0;
    for (auto x : b) nb += x;
    for (auto x : c) nc += x;
    const double be = static_cast<double>(b.size()) * eps;
    double s = 0.0;
    for (std::size_t k = 0; k < b.size(); ++k) {
        const double p = (static_cast<double>(b[k]) + eps) / (static_cast<double>(nb) + be);
        const double q = (static_cast<double>(c[k]) + eps) / (static_cast<double>(nc) + be);
        s += std::log(q / p) * (q - p);
    }
    return s > 0.0 ? s : 0.0;
}

double psi_ok(const std::vector<double>& base, const std::vector<double>& cur, std::size_t bins, double eps = 1e-4) {
    auto r = psi(base, cur, bins, eps);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : -1.0;
}

TEST(PsiTest, QuartilesAgainstConstantCurrent) {
    const double v = psi_ok({1, 2, 3, 4}, {1, 1, 1, 1}, 2);
    EXPECT_EQ(v, from_counts({2, 2}, {4, 0}, 1e-4));
    EXPECT_NEAR(v, 5.29806, 5e-6);
}

TEST(PsiTest, ConstantBaselineDifferentSizes) {
    const std::vector<double> base(10, 5.0);
    const double v = psi_ok(base, {5, 5, 5, 7, 7}, 10);
    std::vector<std::uint64_t> b(10, 0), c(10, 0);
    b[9] = 10;
    c[9] = 5;
    EXPECT_EQ(v, from_counts(b, c, 1e-4));
    EXPECT_NEAR(v, 0.0000624, 5e-8);
    // Values below the repeated edge go to bin 0, at or above it to bin 9.
    c[9] = 3;
    c[0] = 2;
    EXPECT_EQ(psi_ok(base, {5, 4, 5, 9, -1e300}, 10), from_counts(b, c, 1e-4));
}

struct ErrCase {
    std::size_t n_base, n_cur, bins;
    double eps;
    const char* message;
};

class PsiErrors : public ::testing::TestWithParam<ErrCase> {};

TEST_P(PsiErrors, FirstFailingCheckWins) {
    const auto c = GetParam();
    const std::vector<double> base(c.n_base, 1.0), cur(c.n_cur, 1.0);
    auto r = psi(base, cur, c.bins, c.eps);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
    auto s = sorted_copy(base);
    EXPECT_EQ(psi_presorted(base, s, cur, c.bins, c.eps).error().message(), c.message);
    EXPECT_EQ(psi_sorted(s, cur, c.bins, c.eps).error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(PsiOrder, PsiErrors,
    ::testing::Values(ErrCase{0, 0, 1, 0.0, "invalid configuration: psi: n_bins must be >= 2"},
                      ErrCase{0, 0, 0, -1.0, "invalid configuration: psi: n_bins must be >= 2"},
                      ErrCase{0, 0, 2, 0.0, "invalid configuration: psi: eps must be > 0"},
                      ErrCase{0, 0, 2, -1e-4, "invalid configuration: psi: eps must be > 0"},
                      ErrCase{7, 0, 10, 1e-4, "insufficient samples: need at least 10, got 7 (psi(baseline))"},
                      ErrCase{9, 5, 10, 1e-4, "insufficient samples: need at least 10, got 9 (psi(baseline))"},
                      ErrCase{10, 0, 10, 1e-4, "insufficient samples: need at least 1, got 0 (psi(current))"}));

TEST(PsiTest, MinimalSizesAccepted) {
    std::vector<std::uint64_t> b(10, 0), c(10, 0);
    b[9] = 10;
    c[9] = 1;
    EXPECT_EQ(psi_ok(std::vector<double>(10, 1.0), {1.0}, 10), from_counts(b, c, 1e-4));
    EXPECT_FALSE(psi(std::vector<double>(9, 1.0), std::vector<double>{1.0}, 10, 1e-4).ok());
}

TEST(PsiTest, NonFiniteSumIsInstability) {
    // NaN eps passes the eps check and poisons every proportion.
    auto r = psi(std::vector<double>{1, 2, 3, 4}, std::vector<double>{1, 2}, 2, kNan);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "numerical instability in psi (NaN or infinity)");
    // The smallest subnormal eps underflows an empty bin's share to zero.
    std::vector<double> base(10);
    for (int i = 0; i < 10; ++i) base[i] = i;
    r = psi(base, std::vector<double>{100, 100}, 2, 4.9e-324);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::NumericalInstability);
}

TEST(PsiTest, BinSearchPlacement) {
    const std::vector<double> edges = {1.0, 2.0, 2.0, 3.0};
    struct { double x; std::size_t bin; } cases[] = {
        {-kInf, 0}, {0.5, 0}, {1.0, 1}, {1.5, 1}, {2.0, 3}, {2.5, 3}, {3.0, 4}, {kInf, 4}, {kNan, 4}, {-0.0, 0}};
    for (auto c : cases) EXPECT_EQ(psi_detail::bin_of(c.x, edges), c.bin) << c.x;
    const std::vector<double> one = {0.0};
    EXPECT_EQ(psi_detail::bin_of(-0.0, one), 1u);
    EXPECT_EQ(psi_detail::bin_of(-1.0, one), 0u);
    EXPECT_EQ(psi_detail::bin_of(kNan, one), 1u);
}

TEST(PsiTest, NanInCurrentCountsInLastBin) {
    const std::vector<double> base = {1, 2, 3, 4};
    const double v = psi_ok(base, {1, kNan, 4, kNan}, 2);
    EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(v, from_counts({2, 2}, {1, 3}, 1e-4));
}

std::vector<double> sample(std::size_t n, std::uint64_t seed, double shift, int ties, double nan_share) {
    std::mt19937_64 g(seed);
    std::normal_distribution<double> nd(shift, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) {
        x = nd(g);
        if (ties) x = std::round(x * ties) / ties;
        if (u(g) < nan_share) x = kNan;
    }
    return v;
}

struct RandomCase {
    std::size_t nb, nc, bins;
    int ties;
    double nan_b, nan_c;
};

class PsiRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(PsiRandom, EntryPointsAgreeAndProperties) {
    const auto c = GetParam();
    const auto base = sample(c.nb, 31, 0.0, c.ties, c.nan_b);
    const auto cur = sample(c.nc, 32, 0.4, c.ties, c.nan_c);
    const auto base_keep = base;
    const double v = psi_ok(base, cur, c.bins);
    EXPECT_TRUE(std::isfinite(v));
    EXPECT_GE(v, 0.0);
    // The sorted-input counting must give the same bits as the per-value search.
    const auto sb = sorted_copy(base), sc = sorted_copy(cur);
    EXPECT_EQ(psi_presorted(base, sb, cur, c.bins, 1e-4).value(), v);
    EXPECT_EQ(psi_sorted(sb, sc, c.bins, 1e-4).value(), v);
    auto shuffled = cur;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(3));
    EXPECT_EQ(psi_ok(base, shuffled, c.bins), v);
    EXPECT_EQ(psi_ok(base, base, c.bins), 0.0);
    EXPECT_EQ(0, std::memcmp(base.data(), base_keep.data(), base.size() * sizeof(double)));
}

INSTANTIATE_TEST_SUITE_P(PsiCases, PsiRandom,
                         ::testing::Values(RandomCase{10, 1, 10, 0, 0, 0}, RandomCase{1000, 800, 10, 0, 0, 0},
                                           RandomCase{1000, 800, 10, 2, 0, 0}, RandomCase{5000, 3000, 7, 0, 0, 0.1},
                                           RandomCase{5000, 3000, 20, 1, 0, 0.1},
                                           RandomCase{3000, 3000, 10, 0, 0.05, 0.05},
                                           RandomCase{3000, 3000, 10, 3, 0.5, 0.0},
                                           RandomCase{300, 300, 10, 0, 1.0, 0.2}, RandomCase{64, 5000, 64, 0, 0, 0}));

TEST(PsiTest, AgainstIndependentCountsFromEdges) {
    // Edges by the index rule, counts by a plain linear scan of the edges.
    const auto base = sample(997, 41, 0.0, 3, 0.0), cur = sample(613, 42, 0.5, 3, 0.0);
    const std::size_t bins = 12;
    auto s = base;
    std::sort(s.begin(), s.end());
    std::vector<double> edges;
    for (std::size_t k = 1; k < bins; ++k)
        edges.push_back(s[std::min<std::size_t>(s.size() - 1, static_cast<std::size_t>((double(k) / double(bins)) * double(s.size())))]);
    auto count = [&](const std::vector<double>& v) {
        std::vector<std::uint64_t> c(bins, 0);
        for (double x : v) c[static_cast<std::size_t>(std::count_if(edges.begin(), edges.end(), [&](double e) { return e <= x; }))]++;
        return c;
    };
    EXPECT_EQ(psi_ok(base, cur, bins), from_counts(count(base), count(cur), 1e-4));
}

}  // namespace
}  // namespace morvanta
