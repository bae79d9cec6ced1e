#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
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
        EXPECT_EQ(std::accumulate(l.begin(), l.end(), std::size_t{0}), m);
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

// Empty windows and mismatched flags fail as the detector does, baseline first.
TEST_F(PermutationTest, ErrorsAreTheDetectorsInTheirOrder) {
    const std::vector<double> a{0.1, 0.9}, b{0.5, 0.6, 0.7}, none;
    EXPECT_EQ(ks_test(a, none, 9, 0).error().message(), ks_two_sample(a, none).error().message());
    const std::vector<std::uint8_t> one{1}, two{1, 0};
    const std::pair<std::vector<std::uint8_t>, const char*> cases[] = {
        {one, "dimension mismatch: expected 2, got 1 (ConfidenceDriftDetector::baseline correctness)"},
        {two, "dimension mismatch: expected 3, got 1 (ConfidenceDriftDetector::current correctness)"}};
    for (const auto& [fa, message] : cases) {
        EXPECT_EQ(confidence_correctness_test(ConfidenceDriftDetector{}, a, fa, b, one, 9, 0).error().message(),
                  message);
        EXPECT_EQ(ConfidenceDriftDetector{}.detect_with_correctness(a, fa, b, one).error().message(), message);
    }
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
    const auto column = [](const MatrixF64& t, std::size_t c) {
        std::vector<double> v(t.rows);
        for (std::size_t i = 0; i < t.rows; ++i) v[i] = t.view().at(i, c);
        return v;
    };
    EXPECT_EQ(psi(column(a, 0), column(b, 0), 5, 1e308).error().kind, DriftError::numerical_instability("psi").kind);
    double ks = 0.0;
    for (std::size_t c = 0; c < 3; ++c) ks = std::max(ks, ks_two_sample(column(a, c), column(b, c)).value());
    auto huge = data_test(DataDriftDetector{0.1, 5, 1e308}, a.view(), b.view(), 0, 2);
    ASSERT_TRUE(huge.ok());
    EXPECT_EQ(huge.value().observed, ks);
}

}  // namespace
}  // namespace morvanta::permutation
