#include "stats/sort.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using SortCase = std::tuple<int, int, std::size_t>;  // path, value mix, size
class SortNanLast : public ::testing::TestWithParam<SortCase> {};

// Same values as std::sort of the numbers followed by the NaNs, and the same
// multiset of bit patterns (NaN payloads and zero signs survive).
TEST_P(SortNanLast, MatchesStdSort) {
    const auto [path, mix, n] = GetParam();
    const double pool[] = {INFINITY,
                           -INFINITY,
                           0.0,
                           -0.0,
                           std::bit_cast<double>(0x7FF0000000000001ull),
                           std::bit_cast<double>(0xFFF8000000012345ull),
                           1e308,
                           -4.9e-324,
                           1.5};
    std::mt19937_64 g(n);
    std::normal_distribution<double> nd(0.0, 10.0);
    std::vector<double> input(n), nums;
    for (auto& x : input)
        x = mix == 0   ? nd(g)
            : mix == 1 ? (g() % 3 ? nd(g) : pool[g() % 9])
            : mix == 2 ? double(g() % 5) - 2.0
                       : pool[4 + g() % 2];
    auto v = input;
    std::vector<std::uint64_t> scratch;
    if (path == 0) sort_nan_last(v, scratch);
    if (path == 1) sort_detail::radix_sort_nan_last(v, scratch);
    if (path == 2) sort_detail::comparison_sort_nan_last(v);
    std::copy_if(input.begin(), input.end(), std::back_inserter(nums), [](double x) { return !std::isnan(x); });
    std::sort(nums.begin(), nums.end());
    ASSERT_EQ(count_numbers_sorted(v), nums.size());
    for (std::size_t i = 0; i < nums.size(); ++i) ASSERT_EQ(v[i], nums[i]) << i;
    auto bits = [](const std::vector<double>& w) {
        std::vector<std::uint64_t> b(w.size());
        if (!w.empty()) std::memcpy(b.data(), w.data(), w.size() * sizeof(double));
        std::sort(b.begin(), b.end());
        return b;
    };
    ASSERT_EQ(bits(v), bits(input));
}

INSTANTIATE_TEST_SUITE_P(SortAllPaths, SortNanLast,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(0, 1, 2, 17, sort_detail::kRadixMin, 70000)));

}  // namespace
}  // namespace morvanta
