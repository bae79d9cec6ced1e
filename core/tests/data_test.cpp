#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>
#include "detectors/detectors.hpp"
#include "stats/ks.hpp"
#include "stats/psi.hpp"

namespace morvanta {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Matrix from columns.
MatrixF64 from_columns(const std::vector<std::vector<double>>& cols) {
    const std::size_t rows = cols.empty() ? 0 : cols[0].size();
    MatrixF64 m(rows, cols.size());
    for (std::size_t j = 0; j < cols.size(); ++j)
        for (std::size_t i = 0; i < rows; ++i) m.row(i)[j] = cols[j][i];
    return m;
}

std::vector<double> column(const MatrixF64& m, std::size_t j) {
    std::vector<double> c(m.rows);
    for (std::size_t i = 0; i < m.rows; ++i) c[i] = m.row(i)[j];
    return c;
}

MatrixF64 random_table(std::size_t rows, std::size_t cols, std::uint64_t seed, double shift_step, double nan_share) {
    std::mt19937_64 g(seed);
    std::normal_distribution<double> nd;
    std::uniform_real_distribution<double> u;
    MatrixF64 m(rows, cols);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            double x = nd(g) + shift_step * static_cast<double>(j);
            if (j % 3 == 1) x = std::round(x * 2);  // heavy ties
            if (u(g) < nan_share) x = kNan;
            m.row(i)[j] = x;
        }
    return m;
}

// Per column, the kernels called the plain way on contiguous copies.
double reference_column(const DataDriftDetector& det, const std::vector<double>& x, const std::vector<double>& y) {
    const double d = ks_two_sample(x, y).value();
    double p = 0.0;
    if (x.size() >= det.n_bins) {
        auto r = psi(x, y, det.n_bins, det.eps);
        if (r) p = r.value();
    }
    return std::isnan(d) ? p : (p > d ? p : d);
}

struct TableCase {
    std::size_t rb, rc, cols, bins;
    double shift, nan_share;
};

class DataDriftTables : public ::testing::TestWithParam<TableCase> {};

TEST_P(DataDriftTables, ColumnsMatchKernelsAndScoreIsMax) {
    const auto c = GetParam();
    const DataDriftDetector det{0.1, c.bins};
    const auto base = random_table(c.rb, c.cols, 1, 0.0, c.nan_share);
    const auto cur = random_table(c.rc, c.cols, 2, c.shift, c.nan_share);
    const auto base_keep = base.data;
    auto values = det.column_values(base, cur);
    ASSERT_TRUE(values.ok());
    ASSERT_EQ(values.value().size(), c.cols);
    double m = 0.0;
    for (std::size_t j = 0; j < c.cols; ++j) {
        EXPECT_EQ(values.value()[j], reference_column(det, column(base, j), column(cur, j))) << "column " << j;
        m = std::max(m, values.value()[j]);
    }
    auto r = det.detect(base, cur);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().score, m);
    EXPECT_EQ(r.value().method, "ks+psi");
    EXPECT_EQ(r.value().dimension, Dimension::Data);
    EXPECT_EQ(r.value().exceeded, m >= 0.1);
    EXPECT_EQ(0, std::memcmp(base.data.data(), base_keep.data(), base_keep.size() * sizeof(double)));
}

INSTANTIATE_TEST_SUITE_P(DataCases, DataDriftTables,
                         ::testing::Values(TableCase{5, 7, 3, 10, 0.5, 0.0},      // too few rows: KS only
                                           TableCase{50, 40, 4, 0, 0.5, 0.0},     // n_bins 0: KS only
                                           TableCase{50, 40, 4, 1, 0.5, 0.0},     // n_bins 1: KS only
                                           TableCase{10, 1, 2, 10, 0.5, 0.0},     // R_b == n_bins
                                           TableCase{300, 200, 19, 10, 0.3, 0.0},  // several column groups
                                           TableCase{3000, 2500, 9, 10, 0.5, 0.05},
                                           TableCase{2000, 1500, 5, 37, 0.1, 0.3}));

TEST(DataDriftTest, ShiftedColumnPsiAboveOne) {
    const DataDriftDetector det{0.1, 10};
    std::vector<double> x(1000), y(1000);
    for (int i = 0; i < 1000; ++i) {
        x[i] = i;
        y[i] = i + 900;
    }
    auto r = det.detect(from_columns({x}), from_columns({y}));
    ASSERT_TRUE(r.ok());
    EXPECT_GT(r.value().score, 1.0);
    EXPECT_EQ(r.value().score, psi(x, y, 10, 1e-4).value());
}

TEST(DataDriftTest, IdenticalTablesScoreZero) {
    const DataDriftDetector det{0.1, 10};
    const auto t = random_table(500, 6, 3, 0.0, 0.02);
    auto r = det.detect(t, t);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().score, 0.0);
    EXPECT_FALSE(r.value().exceeded);
}

TEST(DataDriftTest, Errors) {
    const DataDriftDetector det{0.1, 10};
    const MatrixF64 three(4, 3), two(0, 2), empty3(0, 3);
    auto r = det.detect(three, two);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)");
    EXPECT_EQ(det.column_values(three, two).error().message(), r.error().message());
    for (auto [a, b] : {std::pair{&three, &empty3}, std::pair{&empty3, &three}}) {
        auto e = det.detect(*a, *b);
        ASSERT_FALSE(e.ok());
        EXPECT_EQ(e.error().message(), "insufficient samples: need at least 1, got 0 (ks_two_sample)");
    }
}

TEST(DataDriftTest, ZeroColumns) {
    const MatrixF64 a(5, 0), b(0, 0);
    for (auto [threshold, exceeded] : {std::pair{0.1, false}, std::pair{0.0, true}, std::pair{-1.0, true}}) {
        const DataDriftDetector det{threshold, 10};
        auto r = det.detect(a, b);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().score, 0.0);
        EXPECT_EQ(r.value().exceeded, exceeded);
    }
}

TEST(DataDriftTest, StridedViewEqualsCompactCopy) {
    const DataDriftDetector det{0.1, 10};
    const auto wide = random_table(400, 12, 5, 0.2, 0.0);
    const auto cur = random_table(300, 12, 6, 0.3, 0.0);
    // Columns 3..9 of `wide`, seen through the row stride.
    ViewF64 view{wide.data.data() + 3, wide.rows, 7, wide.cols};
    MatrixF64 compact(wide.rows, 7), cur7(cur.rows, 7);
    for (std::size_t i = 0; i < wide.rows; ++i) std::copy_n(wide.row(i) + 3, 7, compact.row(i));
    for (std::size_t i = 0; i < cur.rows; ++i) std::copy_n(cur.row(i) + 3, 7, cur7.row(i));
    ViewF64 cur_view{cur.data.data() + 3, cur.rows, 7, cur.cols};
    EXPECT_EQ(det.column_values(view, cur_view).value(), det.column_values(compact, cur7).value());
}

}  // namespace
}  // namespace morvanta
