#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>
#include "stats/ks.hpp"
#include "stats/sort.hpp"

namespace morvanta {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

double ks(const std::vector<double>& a, const std::vector<double>& b) {
    auto r = ks_two_sample(a, b);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? r.value() : -1.0;
}

// The walk written step by step with branches, NaN ordered above every number
// and equal to NaN; the kernel's branch-free loops must agree bit for bit.
double reference_walk(std::vector<double> a, std::vector<double> b) {
    auto by_nan_last = [](double x, double y) { return !std::isnan(x) && (std::isnan(y) || x < y); };
    std::stable_sort(a.begin(), a.end(), by_nan_last);
    std::stable_sort(b.begin(), b.end(), by_nan_last);
    auto le = [](double x, double y) { return (!std::isnan(x) && (std::isnan(y) || x <= y)) || (std::isnan(x) && std::isnan(y)); };
    const double r1 = 1.0 / static_cast<double>(a.size()), r2 = 1.0 / static_cast<double>(b.size());
    std::size_t i = 0, j = 0;
    double f1 = 0.0, f2 = 0.0, d = 0.0;
    while (true) {
        const double x = a[i], y = b[j];
        if (le(x, y)) { ++i; f1 = static_cast<double>(i) * r1; }
        if (le(y, x)) { ++j; f2 = static_cast<double>(j) * r2; }
        d = std::max(d, std::fabs(f1 - f2));
        if (i == a.size() || j == b.size()) break;
    }
    return d;
}

struct KsCase {
    const char* name;
    std::vector<double> a, b;
    double expected;
};

class KsExact : public ::testing::TestWithParam<KsCase> {};

TEST_P(KsExact, Value) {
    const auto& c = GetParam();
    EXPECT_EQ(ks(c.a, c.b), c.expected);
    EXPECT_EQ(ks(c.b, c.a), c.expected);
}

INSTANTIATE_TEST_SUITE_P(KsCases, KsExact,
    ::testing::Values(KsCase{"disjoint_single", {1}, {2}, 1.0}, KsCase{"disjoint", {1, 2, 3, 4}, {5, 6}, 1.0},
                      KsCase{"tie_run", {1, 1}, {1}, 0.5}, KsCase{"ties_both", {0, 0, 0, 1}, {0, 1, 1, 1}, 0.5},
                      KsCase{"inf", {kInf}, {0}, 1.0}, KsCase{"neg_inf", {-kInf, 0}, {0, kInf}, 0.5},
                      KsCase{"identical_unsorted", {3, 1, 2, 2}, {2, 3, 2, 1}, 0.0},
                      KsCase{"signed_zeros", {-0.0, 1}, {0.0, 1}, 0.0},
                      KsCase{"nan_both", {1, kNan}, {kNan, 1}, 0.0}, KsCase{"nan_only_one", {1, 2}, {1, kNan}, 0.5},
                      KsCase{"nan_vs_number", {kNan, kNan}, {1}, 1.0}, KsCase{"all_nan_tie_run", {kNan}, {kNan, kNan}, 0.5},
                      KsCase{"nan_above_inf", {kInf}, {kNan}, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KsTwoSampleTest, EmptySamples) {
    const std::vector<double> one = {1.0}, none;
    for (auto [a, b] : {std::pair{none, one}, std::pair{one, none}, std::pair{none, none}}) {
        auto r = ks_two_sample(a, b);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::InsufficientSamples);
        EXPECT_EQ(r.error().message(), "insufficient samples: need at least 1, got 0 (ks_two_sample)");
    }
}

TEST(KsTwoSampleTest, ProductOfReciprocalNotQuotient) {
    // 49 * (1/49) is not 1.0 in double precision; the statistic keeps the product.
    std::vector<double> a(49), b = {1000.0};
    for (int i = 0; i < 49; ++i) a[i] = i;
    EXPECT_EQ(ks(a, b), 49.0 * (1.0 / 49.0));
    EXPECT_NE(49.0 * (1.0 / 49.0), 1.0);
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
    std::size_t m, n;
    int ties;
    double nan_a, nan_b;
};

class KsRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(KsRandom, AgreesWithReferenceAndProperties) {
    const auto c = GetParam();
    const auto a = sample(c.m, 11, 0.0, c.ties, c.nan_a);
    const auto b = sample(c.n, 12, 0.3, c.ties, c.nan_b);
    const auto a_keep = a, b_keep = b;
    const double d = ks(a, b);
    EXPECT_EQ(d, reference_walk(a, b));
    EXPECT_GE(d, 0.0);
    EXPECT_LE(d, 1.0);
    EXPECT_EQ(ks(b, a), d);  // symmetric
    auto ar = a;
    std::reverse(ar.begin(), ar.end());
    std::shuffle(ar.begin(), ar.end(), std::mt19937_64(5));
    EXPECT_EQ(ks(ar, b), d);  // permutation invariant
    // Pre-sorted walk gives the same bits.
    EXPECT_EQ(ks_sorted(sorted_copy(a), sorted_copy(b)), d);
    // Caller's data untouched (NaN compares unequal, so compare bitwise).
    EXPECT_EQ(0, std::memcmp(a.data(), a_keep.data(), a.size() * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(b.data(), b_keep.data(), b.size() * sizeof(double)));
}

INSTANTIATE_TEST_SUITE_P(KsCases, KsRandom,
                         ::testing::Values(RandomCase{1, 7, 0, 0, 0}, RandomCase{300, 200, 0, 0, 0},
                                           RandomCase{300, 200, 4, 0, 0}, RandomCase{5000, 3001, 0, 0, 0},
                                           RandomCase{5000, 3001, 2, 0.0, 0.0}, RandomCase{4000, 4000, 3, 0.1, 0.1},
                                           RandomCase{4000, 2500, 0, 0.2, 0.0}, RandomCase{100, 5000, 1, 0.5, 0.05},
                                           RandomCase{2000, 2000, 0, 1.0, 0.3}));

TEST(KsTwoSampleTest, TieFreeEqualsSupremumOfDistributionGap) {
    // Without ties the walk visits every jump of both distribution functions.
    const auto a = sample(3000, 21, 0.0, 0, 0), b = sample(2000, 22, 0.2, 0, 0);
    auto sa = a, sb = b;
    std::sort(sa.begin(), sa.end());
    std::sort(sb.begin(), sb.end());
    double sup = 0.0;
    for (const auto* s : {&sa, &sb})
        for (double z : *s) {
            const double f1 = static_cast<double>(std::upper_bound(sa.begin(), sa.end(), z) - sa.begin()) * (1.0 / 3000.0);
            const double f2 = static_cast<double>(std::upper_bound(sb.begin(), sb.end(), z) - sb.begin()) * (1.0 / 2000.0);
            sup = std::max(sup, std::fabs(f1 - f2));
        }
    EXPECT_EQ(ks(a, b), sup);
}

}  // namespace
}  // namespace morvanta
