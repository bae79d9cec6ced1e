#include <array>
#include <map>

#include "detectors/detectors.hpp"
#include "stats/ks.hpp"
#include "stats/mmd.hpp"
#include "stats/psi.hpp"
#include "stats/wasserstein.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
using Vec = std::vector<double>;
using Flags = std::vector<std::uint8_t>;

struct EceCase : Named {
    Vec s;
    Flags y;
    double e;
};
class EceValues : public ::testing::TestWithParam<EceCase> {};

TEST_P(EceValues, TenBins) {
    EXPECT_NEAR(expected_calibration_error(GetParam().s, GetParam().y, 10).value(), GetParam().e, 1e-15);
}

// A (correct, wrong) pair sharing a bin gives |mean - 1/2|, apart (1 - a + b) / 2.
INSTANTIATE_TEST_SUITE_P(ConfidenceEce, EceValues,
                         ::testing::Values(EceCase{"pair_in_bin9", {0.9, 0.9}, {1, 0}, 0.4},
                                           EceCase{"all_right", {1.0, 1.0}, {1, 1}, 0.0},
                                           EceCase{"all_wrong", {1.0, 1.0}, {0, 0}, 1.0},
                                           EceCase{"one_in_bin9", {0.95, 1.0}, {1, 0}, 0.475},
                                           EceCase{"clamped_to_one", {0.95, 1.7}, {1, 0}, 0.475},
                                           EceCase{"tenth_in_bin1", {0.1, 0.15}, {1, 0}, 0.375},  // 0.1 * 10 == 1.0
                                           EceCase{"zero_in_bin0", {0.0, 0.05}, {1, 0}, 0.475},
                                           EceCase{"clamped_to_zero", {-0.5, 0.05}, {1, 0}, 0.475},
                                           EceCase{"unpaired_score", {0.9, 0.9, 0.9}, {1, 0}, 0.4 * (2.0 / 3.0)}),
                         param_name);  // not binned, counted in N

// Occupied bins in an ordered map, confidences added in index order.
double reference_ece(const Vec& s, const Flags& y, std::size_t bins) {
    std::map<std::size_t, std::array<double, 3>> acc;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double p = std::clamp(s[i], 0.0, 1.0), prod = p * static_cast<double>(bins);
        auto& [sum, correct, count] =
            acc[prod >= 0x1p64 ? bins - 1 : std::min(bins - 1, static_cast<std::size_t>(prod))];
        sum += p, correct += y[i], count += 1;
    }
    double e = 0.0;
    for (const auto& [b, t] : acc) e += std::fabs(t[0] / t[2] - t[1] / t[2]) * (t[2] / static_cast<double>(s.size()));
    return e;
}

TEST(ExpectedCalibrationErrorTest, ReferenceForAnyBinCount) {
    std::mt19937_64 g(4);
    Vec s(5000);
    Flags y(s.size());
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] =
            std::round(std::uniform_real_distribution<double>(-0.2, 1.2)(g) * (i % 7 ? 1e6 : 20)) / (i % 7 ? 1e6 : 20),
        y[i] = g() & 1;
    for (std::size_t i = 3; i < s.size(); i += 5)
        s[i] = 0.3 + 1e-9 * static_cast<double>(g() % 900);  // a crowded bin of width 2^-20
    for (std::size_t bins :
         {std::size_t{1}, std::size_t{10}, std::size_t{4999}, std::size_t{1} << 20, std::size_t{1} << 40, SIZE_MAX})
        EXPECT_EQ(expected_calibration_error(s, y, bins).value(), reference_ece(s, y, bins)) << bins;
    EXPECT_EQ(expected_calibration_error({}, {}, 0).error().message(),
              "insufficient samples: need at least 1, got 0 (expected_calibration_error)");
}

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
        Vec x, y;
        for (std::size_t i = 0; i < rb; ++i) x.push_back(base.row(i)[j]);
        for (std::size_t i = 0; i < rc; ++i) y.push_back(cur.row(i)[j]);
        auto p = rb >= bins ? psi(x, y, bins, 1e-4) : Result<double>(0.0);
        EXPECT_EQ(values[j], std::max(ks_two_sample(x, y).value(), p.ok() ? p.value() : 0.0)) << j;
        m = std::max(m, values[j]);
    }
    EXPECT_EQ(det.detect(base, cur).value().score, m);
    EXPECT_TRUE(shift < 3.0 || m > 1.0);
}

INSTANTIATE_TEST_SUITE_P(DataCases, DataDriftTables,
                         ::testing::Values(TableCase{5, 7, 3, 10, 0.5, 0.0},  // too few rows: KS only
                                           TableCase{50, 40, 4, 0, 0.5, 0.0}, TableCase{50, 40, 4, 1, 0.5, 0.0},
                                           TableCase{10, 1, 2, 10, 0.5, 0.0},
                                           TableCase{300, 200, 19, 10, 3.0, 0.0},  // several column groups, PSI above 1
                                           TableCase{3000, 2500, 9, 10, 0.5, 0.05},
                                           TableCase{2000, 1500, 5, 37, 0.1, 0.3}));

// The scores' composition from their kernels, bit for bit: max(MMD², 0) + sliced
// W1 (a negative discrepancy at shift 0), and KS + sliced W1 with 32 directions.
TEST(DetectorsTest, ScoresComposeTheirKernels) {
    for (float shift : {0.0f, 0.05f, 1.0f}) {
        const MatrixF32 x = gaussian(40, 16, 1), y = gaussian(35, 16, 2, shift);
        const double m = mmd_rbf(x, y, Bandwidth::median_heuristic(), true).value();
        EXPECT_TRUE(shift > 0.0f || m < 0.0);
        EXPECT_TRUE(same_bits(EmbeddingDriftDetector{0.05, 24, 9}.detect(x, y).value().score,
                              std::max(m, 0.0) + sliced_wasserstein(x, y, 24, 9).value()))
            << shift;
    }
    const Vec la{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, lb{15, 25, 35};
    const MatrixF32 x = gaussian(40, 16, 3), y = gaussian(3, 16, 4, 0.3f);
    for (std::uint64_t seed : {0ull, 42ull})
        EXPECT_TRUE(same_bits(ResponseDriftDetector{.seed = seed}.detect_with_embeddings(la, lb, x, y).value().score,
                              ks_two_sample(la, lb).value() + sliced_wasserstein(x, y, 32, seed).value()))
            << seed;
}

}  // namespace
}  // namespace morvanta
