#include <numeric>

#include "stats/ks.hpp"
#include "stats/sort.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
using Vec = std::vector<double>;

struct KsCase : Named {
    Vec a, b;
    double d;
};
class KsExact : public ::testing::TestWithParam<KsCase> {};

TEST_P(KsExact, ValueBothWays) {
    EXPECT_EQ(ks_two_sample(GetParam().a, GetParam().b).value(), GetParam().d);
    EXPECT_EQ(ks_two_sample(GetParam().b, GetParam().a).value(), GetParam().d);
}

Vec iota49() {
    Vec v(49);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    KsCases, KsExact,
    ::testing::Values(
        KsCase{"singletons", {1}, {2}, 1.0}, KsCase{"disjoint", {1, 2, 3, 4}, {5, 6}, 1.0},
        // Repeated values: the same distribution scores 0, whatever the window sizes.
        KsCase{"ties", {1, 1}, {1}, 0.0}, KsCase{"one_value_runs", {5, 5, 5, 5}, {5, 5, 5}, 0.0},
        KsCase{"half", {0, 0, 0, 1}, {0, 1, 1, 1}, 0.5}, KsCase{"runs_of_two", {1, 1, 2}, {1, 2, 2}, 1.0 / 3.0},
        KsCase{"infinity", {INFINITY}, {0}, 1.0}, KsCase{"infinity_runs", {INFINITY, INFINITY}, {INFINITY}, 0.0},
        KsCase{"same_values", {3, 1, 2, 2}, {2, 3, 2, 1}, 0.0},
        KsCase{"signed_zeros", {-0.0, 0.0, 1}, {0.0, 1}, 2.0 * (1.0 / 3.0) - 0.5},
        KsCase{"zeros_are_one_value", {-0.0, 0.0}, {0.0}, 0.0}, KsCase{"nan_equals_nan", {1, NAN}, {NAN, 1}, 0.0},
        KsCase{"nan_above_numbers", {1, 2}, {1, NAN}, 0.5}, KsCase{"all_nan", {NAN, NAN}, {1}, 1.0},
        KsCase{"nan_runs_equal", {NAN}, {NAN, NAN}, 0.0}, KsCase{"nan_shares", {NAN, NAN, 1}, {NAN, 1, 1}, 1.0 / 3.0},
        KsCase{"nan_above_infinity", {INFINITY}, {NAN}, 1.0},
        KsCase{"product_not_one", iota49(), {99}, 49.0 * (1.0 / 49.0)}),
    param_name);

TEST(KsTwoSampleTest, EmptySamples) {
    const Vec one = {1.0}, none;
    for (auto [a, b] : {std::pair{none, one}, std::pair{one, none}, std::pair{none, none}})
        EXPECT_EQ(ks_two_sample(a, b).error().message(),
                  "insufficient samples: need at least 1, got 0 (ks_two_sample)");
    EXPECT_EQ(ks_sorted(one, none), 0.0);
}

// NaN above every number, equal to NaN.
bool le(double x, double y) { return std::isnan(x) ? std::isnan(y) : (std::isnan(y) || x <= y); }

// The walk that consumes one element per side per step and measures the gap
// after every step (ties advance both sides by one). Inside a run of repeated
// values it sees gaps that no x has, which is why the kernel no longer uses it;
// on samples without repeated values the kernel must match it bit for bit.
double one_per_side_walk(const Vec& sa, const Vec& sb) {
    const Vec a = sorted_copy(sa), b = sorted_copy(sb);
    std::size_t i = 0, j = 0;
    double f1 = 0.0, f2 = 0.0, d = 0.0;
    do {
        const double x = a[i], y = b[j];
        if (le(x, y)) f1 = static_cast<double>(++i) * (1.0 / static_cast<double>(a.size()));
        if (le(y, x)) f2 = static_cast<double>(++j) * (1.0 / static_cast<double>(b.size()));
        d = std::max(d, std::fabs(f1 - f2));
    } while (i < a.size() && j < b.size());
    return d;
}

// sup over x of |F1(x) - F2(x)| by counting, for every distinct value of either
// sample in ascending order, the elements at or below it (binary search), until
// one sample is used up. Same products as the kernel, so the same bits.
double sup_by_counting(const Vec& sa, const Vec& sb) {
    const Vec a = sorted_copy(sa), b = sorted_copy(sb);
    Vec all = a;
    all.insert(all.end(), b.begin(), b.end());
    all = sorted_copy(all);
    double d = 0.0;
    for (std::size_t k = 0; k < all.size(); ++k) {
        if (k > 0 && le(all[k], all[k - 1])) continue;  // the same value again
        const double v = all[k];
        const auto below = [&](const Vec& s) {
            return static_cast<std::size_t>(
                std::partition_point(s.begin(), s.end(), [&](double x) { return le(x, v); }) - s.begin());
        };
        const std::size_t i = below(a), j = below(b);
        d = std::max(d, std::fabs(static_cast<double>(i) * (1.0 / static_cast<double>(a.size())) -
                                  static_cast<double>(j) * (1.0 / static_cast<double>(b.size()))));
        if (i == a.size() || j == b.size()) break;
    }
    return d;
}

TEST(KsTwoSampleTest, RepeatedValuesOfOneDistributionScoreNoGap) {
    // A 70/30 binary feature in windows of 3,000 and 1,000 rows: the one-per-side
    // walk reports 0.467 here.
    Vec a(3000, 0.0), b(1000, 0.0);
    std::fill(a.begin() + 2100, a.end(), 1.0);
    std::fill(b.begin() + 700, b.end(), 1.0);
    EXPECT_EQ(ks_two_sample(a, b).value(), sup_by_counting(a, b));
    EXPECT_LT(ks_two_sample(a, b).value(), 1e-15);
    EXPECT_GT(one_per_side_walk(a, b), 0.4);
    // One NaN per sample is no repeat: the walks agree there.
    const Vec c = {0.5, NAN, -1.0, 3.0}, d = {NAN, 0.25, 2.0};
    EXPECT_TRUE(same_bits(ks_two_sample(c, d).value(), one_per_side_walk(c, d)));
}

using RandomCase = std::tuple<std::size_t, std::size_t, int, double>;  // m, n, tie grid, NaN share of a
class KsRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(KsRandom, SupremumSymmetryOrderAndInputs) {
    const auto [m, n, ties, nan_a] = GetParam();
    std::mt19937_64 g(m + n);
    std::normal_distribution<double> nd;
    auto draw = [&](std::size_t len, double nan_share) {
        Vec v(len);
        for (auto& x : v)
            x = std::uniform_real_distribution<double>()(g) < nan_share ? NAN : ties ? std::round(nd(g) * ties) : nd(g);
        return v;
    };
    const Vec a = draw(m, nan_a), b = draw(n, 0.05);
    const Vec keep = a;
    const double d = ks_two_sample(a, b).value();
    EXPECT_TRUE(same_bits(d, sup_by_counting(a, b))) << d << " vs " << sup_by_counting(a, b);
    EXPECT_TRUE(same_bits(ks_two_sample(b, a).value(), d));
    Vec shuffled = a;
    std::shuffle(shuffled.begin(), shuffled.end(), g);
    EXPECT_TRUE(same_bits(ks_two_sample(shuffled, b).value(), d));
    EXPECT_EQ(bytes(a), bytes(keep));
}

INSTANTIATE_TEST_SUITE_P(KsCases, KsRandom,
                         ::testing::Values(RandomCase{1, 7, 0, 0.0}, RandomCase{300, 200, 4, 0.0},
                                           RandomCase{5000, 3001, 0, 0.0}, RandomCase{4000, 4000, 3, 0.1},
                                           RandomCase{2000, 2000, 0, 1.0}, RandomCase{3000, 1000, 1, 0.0},
                                           RandomCase{50, 7, 2, 0.3}, RandomCase{400, 401, 10, 0.0}));

// Without repeated values inside a sample (values may still be shared between
// the two samples) the kernel is the one-per-side walk, bit for bit.
class KsTieFree : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, bool>> {};

TEST_P(KsTieFree, BitIdenticalToOnePerSideWalk) {
    const auto [m, n, shared] = GetParam();
    std::mt19937_64 g(7 * m + n);
    auto draw = [&](std::size_t len) {
        Vec v(len);
        if (shared) {  // distinct integers from a range both samples draw from
            Vec pool(std::max(m, n) * 2);
            std::iota(pool.begin(), pool.end(), -static_cast<double>(pool.size() / 2));
            std::shuffle(pool.begin(), pool.end(), g);
            std::copy_n(pool.begin(), len, v.begin());
        } else {
            std::normal_distribution<double> nd(0.1, 1.0);
            for (auto& x : v) x = nd(g);
        }
        return v;
    };
    for (int rep = 0; rep < 5; ++rep) {
        const Vec a = draw(m), b = draw(n);
        EXPECT_TRUE(same_bits(ks_two_sample(a, b).value(), one_per_side_walk(a, b)));
        EXPECT_TRUE(same_bits(ks_two_sample(b, a).value(), one_per_side_walk(b, a)));
    }
}

INSTANTIATE_TEST_SUITE_P(KsCases, KsTieFree,
                         ::testing::Combine(::testing::Values(1, 7, 49, 1000, 3001),
                                            ::testing::Values(1, 13, 999, 4000), ::testing::Bool()));

}  // namespace
}  // namespace morvanta
