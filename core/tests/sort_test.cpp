#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>
#include "stats/sort.hpp"

namespace morvanta {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double nan_with(std::uint64_t payload, bool negative) {
    return std::bit_cast<double>((negative ? 0xFFF0000000000000ull : 0x7FF0000000000000ull) | payload);
}

enum class Mix { Normal, Special, FewDistinct, AllEqual, Integers, Subnormal, AllNan, Descending };

std::vector<double> make(Mix mix, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 g(seed);
    std::normal_distribution<double> nd(0.0, 10.0);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (mix) {
            case Mix::Normal: v[i] = nd(g); break;
            case Mix::Special: {
                const double pool[] = {kInf, -kInf, 0.0, -0.0, nan_with(1, false), nan_with(0x8000000000000ull, true),
                                       nan_with(12345, true), 1.5, -1.5, 1e308, -1e-308, 4.9e-324};
                v[i] = (g() % 3 == 0) ? pool[g() % std::size(pool)] : nd(g);
                break;
            }
            case Mix::FewDistinct: v[i] = static_cast<double>(g() % 5) - 2.0; break;
            case Mix::AllEqual: v[i] = 3.25; break;
            case Mix::Integers: v[i] = static_cast<double>(static_cast<std::int64_t>(g() % 100000) - 50000); break;
            case Mix::Subnormal: v[i] = std::bit_cast<double>(g() % 1000000) * ((g() & 1) ? -1.0 : 1.0); break;
            case Mix::AllNan: v[i] = nan_with(g() % 1000 + 1, g() & 1); break;
            case Mix::Descending: v[i] = static_cast<double>(n - i) * 0.5; break;
        }
    }
    return v;
}

// Checks `got` against std::sort of the numbers followed by the NaNs: equal by
// value position by position, and the same multiset of bit patterns (so NaN
// payloads and zero signs survive).
void expect_sorted_like_std(const std::vector<double>& input, const std::vector<double>& got) {
    ASSERT_EQ(got.size(), input.size());
    std::vector<double> nums;
    std::size_t n_nan = 0;
    for (double x : input) {
        if (std::isnan(x)) ++n_nan;
        else nums.push_back(x);
    }
    std::sort(nums.begin(), nums.end());
    for (std::size_t i = 0; i < nums.size(); ++i) ASSERT_EQ(got[i], nums[i]) << "at " << i;
    for (std::size_t i = nums.size(); i < got.size(); ++i) ASSERT_TRUE(std::isnan(got[i])) << "at " << i;
    auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> b(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) b[i] = std::bit_cast<std::uint64_t>(v[i]);
        std::sort(b.begin(), b.end());
        return b;
    };
    EXPECT_EQ(bits(got), bits(input));
    EXPECT_EQ(count_numbers_sorted(got), input.size() - n_nan);
}

enum class Path { Dispatch, Radix, Comparison };

void run(Path path, std::vector<double>& v, std::vector<std::uint64_t>& scratch) {
    switch (path) {
        case Path::Dispatch: sort_nan_last(v, scratch); break;
        case Path::Radix: sort_detail::radix_sort_nan_last(v, scratch); break;
        case Path::Comparison: sort_detail::comparison_sort_nan_last(v); break;
    }
}

using SortCase = std::tuple<Path, Mix, std::size_t>;
class SortNanLast : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortNanLast, MatchesStdSort) {
    const auto [path, mix, n] = GetParam();
    std::vector<std::uint64_t> scratch;
    for (std::uint64_t seed : {1u, 2u}) {
        const std::vector<double> input = make(mix, n, seed);
        std::vector<double> v = input;
        run(path, v, scratch);
        expect_sorted_like_std(input, v);
    }
}

INSTANTIATE_TEST_SUITE_P(SortAllPaths, SortNanLast,
    ::testing::Combine(::testing::Values(Path::Dispatch, Path::Radix, Path::Comparison),
                       ::testing::Values(Mix::Normal, Mix::Special, Mix::FewDistinct, Mix::AllEqual, Mix::Integers,
                                         Mix::Subnormal, Mix::AllNan, Mix::Descending),
                       ::testing::Values(0, 1, 2, 3, 17, sort_detail::kRadixMin - 1, sort_detail::kRadixMin,
                                         5000, 70000)));

TEST(SortNanLastTest, ZerosAndInfinitiesOrdered) {
    std::vector<double> v = {kInf, nan_with(7, true), -0.0, 0.0, -kInf, -0.0, nan_with(1, false), 2.0};
    std::vector<double> r = v;
    std::vector<std::uint64_t> scratch;
    sort_detail::radix_sort_nan_last(r, scratch);
    EXPECT_EQ(r[0], -kInf);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(r[i], 0.0);
    EXPECT_EQ(r[4], 2.0);
    EXPECT_EQ(r[5], kInf);
    EXPECT_TRUE(std::isnan(r[6]) && std::isnan(r[7]));
    expect_sorted_like_std(v, r);
}

TEST(SortNanLastTest, ScratchReusedAcrossSizes) {
    std::vector<std::uint64_t> scratch;
    for (std::size_t n : {50000u, 3000u, 120000u, 2000u}) {
        const auto input = make(Mix::Special, n, n);
        auto v = input;
        sort_nan_last(v, scratch);
        expect_sorted_like_std(input, v);
    }
}

TEST(SortNanLastTest, SortedCopyLeavesInputAlone) {
    const auto input = make(Mix::Special, 4000, 9);
    auto keep = input;
    const auto out = sorted_copy(input);
    expect_sorted_like_std(input, out);
    for (std::size_t i = 0; i < input.size(); ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(input[i]), std::bit_cast<std::uint64_t>(keep[i]));
}

}  // namespace
}  // namespace morvanta
