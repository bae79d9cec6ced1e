#include <numeric>

#include "stats/ks.hpp"
#include "stats/sort.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
using Vec = std::vector<double>;

struct KsCase : Named { Vec a, b; double d; };
class KsExact : public ::testing::TestWithParam<KsCase> {};

TEST_P(KsExact, ValueBothWays) {
    EXPECT_EQ(ks_two_sample(GetParam().a, GetParam().b).value(), GetParam().d);
    EXPECT_EQ(ks_two_sample(GetParam().b, GetParam().a).value(), GetParam().d);
}

Vec iota49() { Vec v(49); std::iota(v.begin(), v.end(), 0.0); return v; }

INSTANTIATE_TEST_SUITE_P(KsCases, KsExact, ::testing::Values(
    KsCase{"singletons", {1}, {2}, 1.0}, KsCase{"disjoint", {1, 2, 3, 4}, {5, 6}, 1.0}, KsCase{"ties", {1, 1}, {1}, 0.5},
    KsCase{"half", {0, 0, 0, 1}, {0, 1, 1, 1}, 0.5}, KsCase{"infinity", {INFINITY}, {0}, 1.0},
    KsCase{"same_values", {3, 1, 2, 2}, {2, 3, 2, 1}, 0.0}, KsCase{"signed_zeros", {-0.0, 1}, {0.0, 1}, 0.0},
    KsCase{"nan_equals_nan", {1, NAN}, {NAN, 1}, 0.0}, KsCase{"nan_above_numbers", {1, 2}, {1, NAN}, 0.5},
    KsCase{"all_nan", {NAN, NAN}, {1}, 1.0}, KsCase{"nan_counts", {NAN}, {NAN, NAN}, 0.5},
    KsCase{"nan_above_infinity", {INFINITY}, {NAN}, 1.0},
    KsCase{"product_not_one", iota49(), {99}, 49.0 * (1.0 / 49.0)}), param_name);

TEST(KsTwoSampleTest, EmptySamples) {
    const Vec one = {1.0}, none;
    for (auto [a, b] : {std::pair{none, one}, std::pair{one, none}, std::pair{none, none}})
        EXPECT_EQ(ks_two_sample(a, b).error().message(), "insufficient samples: need at least 1, got 0 (ks_two_sample)");
}

// The walk step by step with branches (NaN above every number, equal to NaN).
double reference_walk(const Vec& sa, const Vec& sb) {
    const Vec a = sorted_copy(sa), b = sorted_copy(sb);
    auto le = [](double x, double y) { return std::isnan(x) ? std::isnan(y) : (std::isnan(y) || x <= y); };
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

using RandomCase = std::tuple<std::size_t, std::size_t, int, double>;  // m, n, tie grid, NaN share of a
class KsRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(KsRandom, ReferenceSymmetryOrderAndInputs) {
    const auto [m, n, ties, nan_a] = GetParam();
    std::mt19937_64 g(m + n);
    std::normal_distribution<double> nd;
    auto draw = [&](std::size_t len, double nan_share) {
        Vec v(len);
        for (auto& x : v) x = std::uniform_real_distribution<double>()(g) < nan_share ? NAN : ties ? std::round(nd(g) * ties) : nd(g);
        return v;
    };
    const Vec a = draw(m, nan_a), b = draw(n, 0.05);
    const double d = ks_two_sample(a, b).value();
    EXPECT_EQ(d, reference_walk(a, b));
    EXPECT_EQ(ks_two_sample(b, a).value(), d);
    Vec shuffled = a;
    std::shuffle(shuffled.begin(), shuffled.end(), g);
    EXPECT_EQ(ks_two_sample(shuffled, b).value(), d);
}

INSTANTIATE_TEST_SUITE_P(KsCases, KsRandom, ::testing::Values(RandomCase{1, 7, 0, 0.0}, RandomCase{300, 200, 4, 0.0},
    RandomCase{5000, 3001, 0, 0.0}, RandomCase{4000, 4000, 3, 0.1}, RandomCase{2000, 2000, 0, 1.0}));

}  // namespace
}  // namespace morvanta
