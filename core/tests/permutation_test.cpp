#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "cancel.hpp"
#include "permutation/permutation.hpp"
#include "pool.hpp"
#include "stats/ks.hpp"
#include "stats/rng.hpp"

namespace morvanta::permutation {
namespace {

std::vector<double> normals(std::size_t n, std::uint64_t seed, double shift) {
    Rng rng(seed);
    std::vector<double> v(n);
    for (double& x : v) x = rng.standard_normal() + shift;
    return v;
}

class PermutationTest : public ::testing::Test {
    void TearDown() override { pool_set_threads(0); }
};

TEST_F(PermutationTest, ChildSeedsAreDistinctAndDealsHaveTheSideSizes) {
    std::set<std::uint64_t> seen;
    for (std::uint64_t i = 0; i < 10000; ++i) seen.insert(child_seed(42, i));
    EXPECT_EQ(seen.size(), 10000u);
    EXPECT_NE(child_seed(1, 0), child_seed(2, 0));
    for (std::size_t m : {0u, 1u, 5u, 9u, 10u}) {
        const auto l = split_labels(10, m, 3, 1);
        std::size_t ones = 0;
        for (auto b : l) ones += b;
        EXPECT_EQ(ones, m);
    }
    EXPECT_EQ(split_labels(50, 20, 3, 1), split_labels(50, 20, 3, 1));
    EXPECT_NE(split_labels(50, 20, 3, 1), split_labels(50, 20, 3, 2));
}

TEST_F(PermutationTest, KsObservedIsTheKernelWithoutTiesAndPValueCountsIt) {
    const auto a = normals(300, 1, 0.0), b = normals(200, 2, 0.3);
    auto r = ks_test(a, b, 99, 7);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().observed, ks_two_sample(a, b).value());
    const double p = p_value(r.value());
    EXPECT_GE(p, 1.0 / 100.0);
    std::size_t ge = 0;
    for (double v : r.value().permuted) ge += v >= r.value().observed;
    EXPECT_EQ(p, double(1 + ge) / 100.0);
}

TEST_F(PermutationTest, StatisticsAreBitIdenticalForAnyWorkerCount) {
    const auto a = normals(2000, 3, 0.0), b = normals(1500, 4, 0.05);
    std::vector<double> ref;
    for (std::size_t threads : {1u, 2u, 5u}) {
        pool_set_threads(threads);
        auto r = ks_test(a, b, 200, 9);
        ASSERT_TRUE(r.ok());
        if (ref.empty()) ref = r.value().permuted;
        EXPECT_EQ(r.value().permuted, ref);
    }
}

TEST_F(PermutationTest, ACancelledCallStopsWithTheCancelledError) {
    const auto a = normals(5000, 5, 0.0), b = normals(5000, 6, 0.0);
    CancelSource source;
    source.cancel();
    const CancelScope scope(&source);
    auto r = ks_test(a, b, 999, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, DriftError::cancelled().kind);
}

TEST_F(PermutationTest, EmptyWindowsAndMismatchedPairsFailAsTheDetectors) {
    const std::vector<double> a{1.0, 2.0}, none;
    EXPECT_FALSE(ks_test(a, none, 9, 0).ok());
    const std::vector<std::uint8_t> flags{1};
    auto r = confidence_correctness_test(ConfidenceDriftDetector{}, a, flags, a, flags, 9, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              "dimension mismatch: expected 2, got 1 (ConfidenceDriftDetector::baseline correctness)");
}

}  // namespace
}  // namespace morvanta::permutation
