#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "cancel.hpp"
#include "permutation/permutation.hpp"
#include "pool.hpp"
#include "stats/ks.hpp"
#include "stats/psi.hpp"
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

MatrixF64 shifted_table(std::size_t rows, std::size_t cols, std::uint64_t seed, double shift) {
    MatrixF64 t(rows, cols);
    const auto v = normals(rows * cols, seed, shift);
    for (std::size_t i = 0; i < v.size(); ++i) t.data[i] = v[i];
    return t;
}

// The unpermuted split is the detector's own call, bit for bit, also where the
// index's sum overflows (a huge eps): the detector then scores the column by KS
// alone, and so must the permutation test.
TEST_F(PermutationTest, DataObservedIsTheDetectorAlsoWhenTheIndexIsNotFinite) {
    const MatrixF64 a = shifted_table(120, 3, 11, 0.0), b = shifted_table(90, 3, 12, 0.4);
    for (double eps : {1e-4, 1e308}) {
        const DataDriftDetector det{0.1, 5, eps};
        auto r = data_test(det, a.view(), b.view(), 5, 2);
        ASSERT_TRUE(r.ok());
        auto s = det.detect(a.view(), b.view());
        ASSERT_TRUE(s.ok());
        EXPECT_EQ(r.value().observed, s.value().score) << "eps " << eps;
    }
    std::vector<double> x(120), y(90);
    for (std::size_t i = 0; i < 120; ++i) x[i] = a.view().at(i, 0);
    for (std::size_t i = 0; i < 90; ++i) y[i] = b.view().at(i, 0);
    auto p = psi(x, y, 5, 1e308);
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, DriftError::numerical_instability("psi").kind);
    double ks = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t i = 0; i < 120; ++i) x[i] = a.view().at(i, c);
        for (std::size_t i = 0; i < 90; ++i) y[i] = b.view().at(i, c);
        ks = std::max(ks, ks_two_sample(x, y).value());
    }
    auto huge = data_test(DataDriftDetector{0.1, 5, 1e308}, a.view(), b.view(), 0, 2);
    ASSERT_TRUE(huge.ok());
    EXPECT_EQ(huge.value().observed, ks);
}

TEST_F(PermutationTest, CorrectnessFlagsAreCheckedBaselineFirstAsByTheDetector) {
    const std::vector<double> a{0.1, 0.9}, b{0.5, 0.6, 0.7};
    const std::vector<std::uint8_t> fa{1, 0}, fb{1};
    auto r = confidence_correctness_test(ConfidenceDriftDetector{}, a, fa, b, fb, 9, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              "dimension mismatch: expected 3, got 1 (ConfidenceDriftDetector::current correctness)");
    auto d = ConfidenceDriftDetector{}.detect_with_correctness(a, fa, b, fb);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().message(), r.error().message());
}

}  // namespace
}  // namespace morvanta::permutation
