#include "stats/psi.hpp"
#include "stats/sort.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using Vec = std::vector<double>;
using Counts = std::vector<double>;
using testkit::Named;

// The index from bin counts, term by term in ascending bin order.
double from_counts(const Counts& b, const Counts& c, double eps = 1e-4) {
    double nb = 0, nc = 0, s = 0.0, be = static_cast<double>(b.size()) * eps;
    for (std::size_t k = 0; k < b.size(); ++k) nb += b[k], nc += c[k];
    for (std::size_t k = 0; k < b.size(); ++k) {
        const double p = (b[k] + eps) / (nb + be), q = (c[k] + eps) / (nc + be);
        s += std::log(q / p) * (q - p);
    }
    return s > 0.0 ? s : 0.0;
}

TEST(PsiTest, DocumentedExamplesAndBinPlacement) {
    const double quartiles = psi(Vec{1, 2, 3, 4}, Vec{1, 1, 1, 1}, 2, 1e-4).value();
    EXPECT_EQ(quartiles, from_counts({2, 2}, {4, 0}));
    EXPECT_NEAR(quartiles, 5.29806, 5e-6);
    // Nine equal edges at 5: at or above is bin 9, below is bin 0 however far; NaN is last.
    const Vec fives(10, 5.0);
    const Counts all9 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 10};
    const double sizes = psi(fives, Vec{5, 5, 5, 7, 7}, 10, 1e-4).value();
    EXPECT_EQ(sizes, from_counts(all9, {0, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
    EXPECT_NEAR(sizes, 0.0000624, 5e-8);
    EXPECT_EQ(psi(fives, Vec{5, 4, -1e300, 9, NAN}, 10, 1e-4).value(),
              from_counts(all9, {2, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
    EXPECT_EQ(psi(Vec{1, 2, 3, 4}, Vec{NAN, 3, 2.5}, 2, 1e-4).value(), from_counts({2, 2}, {1, 2}));
    EXPECT_EQ(psi(Vec{1, 2, 2, 3, 4}, Vec{1.5, 2, 3}, 4, 1e-4).value(), from_counts({1, 0, 2, 2}, {1, 0, 1, 1}));
    // (k / 49) * 49 falls just below k for k = 1, 2, 4, 8, 16, 27, 32: those edges move down one value.
    Vec iota(49);
    Counts b(49, 1), c(49, 0);
    for (int k = 0; k < 49; ++k) iota[k] = k;
    for (int k : {0, 3, 7, 15, 26, 31}) b[k] = 0;
    for (int k : {2, 4, 8, 16, 27, 32}) b[k] = 2;
    c[1] = c[27] = 1;
    EXPECT_EQ(psi(iota, Vec{0, 26}, 49, 1e-4).value(), from_counts(b, c));
}

struct ErrCase : Named {
    std::size_t n_base, n_cur, bins;
    double eps;
    const char* message;
};
class PsiErrors : public ::testing::TestWithParam<ErrCase> {};

TEST_P(PsiErrors, FirstFailingCheckWins) {
    const auto c = GetParam();
    const Vec base(c.n_base, 1.0), cur(c.n_cur, 1.0), sorted = sorted_copy(base);
    EXPECT_EQ(psi(base, cur, c.bins, c.eps).error().message(), c.message);
    EXPECT_EQ(psi_presorted(base, sorted, cur, c.bins, c.eps).error().message(), c.message);
    EXPECT_EQ(psi_sorted(sorted, cur, c.bins, c.eps).error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    PsiOrder, PsiErrors,
    ::testing::Values(
        ErrCase{"one_bin", 0, 0, 1, 0.0, "invalid configuration: psi: n_bins must be >= 2"},
        ErrCase{"negative_eps", 0, 0, 2, -1.0, "invalid configuration: psi: eps must be > 0"},
        ErrCase{"baseline_below_bins", 7, 0, 10, 1e-4, "insufficient samples: need at least 10, got 7 (psi(baseline))"},
        ErrCase{"empty_current", 10, 0, 10, 1e-4, "insufficient samples: need at least 1, got 0 (psi(current))"},
        // NaN eps passes its check; the smallest subnormal eps underflows an empty bin to 0/0.
        ErrCase{"nan_eps", 4, 2, 2, NAN, "numerical instability in psi (NaN or infinity)"},
        ErrCase{"subnormal_eps", 4, 2, 2, 4.9e-324, "numerical instability in psi (NaN or infinity)"}),
    testkit::param_name);

using RandomCase = std::tuple<std::size_t, std::size_t, int, double>;  // N_b, bins, tie grid, NaN share
class PsiRandom : public ::testing::TestWithParam<RandomCase> {};

// Per-value bisection and the sorted-input counting must give the same bits.
TEST_P(PsiRandom, EntryPointsAgree) {
    const auto [nb, bins, ties, nan_share] = GetParam();
    std::mt19937_64 g(nb);
    std::normal_distribution<double> nd;
    auto draw = [&](std::size_t len, double shift) {
        Vec v(len);
        for (auto& x : v)
            x = std::uniform_real_distribution<double>()(g) < nan_share ? NAN
                : ties                                                  ? std::round((nd(g) + shift) * ties)
                                                                        : nd(g) + shift;
        return v;
    };
    const Vec base = draw(nb, 0.0), cur = draw(777, 0.4), sb = sorted_copy(base);
    const double v = psi(base, cur, bins, 1e-4).value();
    EXPECT_TRUE(std::isfinite(v) && v >= 0.0);
    EXPECT_EQ(psi_presorted(base, sb, cur, bins, 1e-4).value(), v);
    EXPECT_EQ(psi_sorted(sb, sorted_copy(cur), bins, 1e-4).value(), v);
    EXPECT_EQ(psi(base, base, bins, 1e-4).value(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(PsiCases, PsiRandom,
                         ::testing::Values(RandomCase{10, 10, 0, 0.0}, RandomCase{1000, 10, 2, 0.0},
                                           RandomCase{5000, 20, 1, 0.1}, RandomCase{300, 10, 0, 1.0},
                                           RandomCase{64, 64, 0, 0.0}));

}  // namespace
}  // namespace morvanta
