#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>
#include "detectors/detectors.hpp"
#include "stats/ks.hpp"
#include "stats/psi.hpp"

namespace morvanta {
namespace {

MatrixF64 table(std::size_t rows, std::size_t cols, std::uint64_t seed, double shift, double nan_share) {
    std::mt19937_64 g(seed);
    std::normal_distribution<double> nd;
    MatrixF64 m(rows, cols);
    for (std::size_t i = 0; i < rows * cols; ++i) {
        const double x = nd(g) + shift * static_cast<double>(i % cols);
        m.data[i] = std::uniform_real_distribution<double>()(g) < nan_share ? NAN : i % 3 ? x : std::round(x * 2);
    }
    return m;
}

using TableCase = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, double, double>;
class DataDriftTables : public ::testing::TestWithParam<TableCase> {};

// Every column against the kernels called the plain way on contiguous copies,
// for the table itself and for the same values seen through a wider row stride.
TEST_P(DataDriftTables, ColumnsMatchKernels) {
    const auto [rb, rc, cols, bins, shift, nan_share] = GetParam();
    const DataDriftDetector det{0.1, bins};
    const auto wide = table(rb, cols + 3, 1, 0.0, nan_share), cur = table(rc, cols, 2, shift, nan_share);
    MatrixF64 base(rb, cols);
    for (std::size_t i = 0; i < rb; ++i) std::copy_n(wide.row(i) + 2, cols, base.row(i));
    const auto values = det.column_values(base, cur).value();
    EXPECT_EQ(det.column_values(ViewF64{wide.data.data() + 2, rb, cols, cols + 3}, cur).value(), values);
    double m = 0.0;
    for (std::size_t j = 0; j < cols; ++j) {
        std::vector<double> x, y;
        for (std::size_t i = 0; i < rb; ++i) x.push_back(base.row(i)[j]);
        for (std::size_t i = 0; i < rc; ++i) y.push_back(cur.row(i)[j]);
        auto p = rb >= bins ? psi(x, y, bins, 1e-4) : Result<double>(0.0);
        EXPECT_EQ(values[j], std::max(ks_two_sample(x, y).value(), p.ok() ? p.value() : 0.0)) << j;
        m = std::max(m, values[j]);
    }
    EXPECT_EQ(det.detect(base, cur).value().score, m);
    if (shift >= 3.0) EXPECT_GT(m, 1.0);
}

INSTANTIATE_TEST_SUITE_P(DataCases, DataDriftTables, ::testing::Values(
    TableCase{5, 7, 3, 10, 0.5, 0.0},  // too few rows: KS only
    TableCase{50, 40, 4, 0, 0.5, 0.0}, TableCase{50, 40, 4, 1, 0.5, 0.0}, TableCase{10, 1, 2, 10, 0.5, 0.0},
    TableCase{300, 200, 19, 10, 3.0, 0.0},  // several column groups, PSI above 1
    TableCase{3000, 2500, 9, 10, 0.5, 0.05}, TableCase{2000, 1500, 5, 37, 0.1, 0.3}));

}  // namespace
}  // namespace morvanta
