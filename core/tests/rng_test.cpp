#include "stats/rng.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

struct KeystreamCase : testkit::Named {
    int rounds;
    std::uint64_t counter;
    const char* hex;
};  // one 64-byte block

// Published keystreams for the all-zero 256-bit key and all-zero nonce/IV: ChaCha20
// from RFC 8439 (appendix A.1, vectors 1 and 2), ChaCha12 from the reduced-round vectors.
const KeystreamCase kKeystreams[] = {
    {"r20_ctr0", 20, 0,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"r20_ctr1", 20, 1,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {"r12_ctr0", 12, 0,
     "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
     "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
    {"r12_ctr1", 12, 1,
     "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
     "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
};

class RngKeystream : public ::testing::TestWithParam<KeystreamCase> {};

TEST_P(RngKeystream, ZeroKeyMatchesPublishedBlock) {
    const KeystreamCase& c = GetParam();
    const std::uint32_t key[8] = {};
    std::uint32_t w[16];
    (c.rounds == 20 ? chacha_block<20> : chacha_block<12>)(key, c.counter, 0, w);
    std::string got;
    for (std::uint32_t v : w)
        for (int shift = 0; shift < 32; shift += 8)
            got += {"0123456789abcdef"[v >> (shift + 4) & 15], "0123456789abcdef"[v >> shift & 15]};
    EXPECT_EQ(got, c.hex);
}

INSTANTIATE_TEST_SUITE_P(Rng, RngKeystream, ::testing::ValuesIn(kKeystreams), testkit::param_name);

TEST(RngTest, SeedingAndStream) {
    // Eight PCG32 XSH-RR outputs from state 0, advanced before each.
    const std::uint32_t key0[8] = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                   0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    Rng g(0), other(1);
    EXPECT_TRUE(std::equal(key0, key0 + 8, g.key()));
    EXPECT_FALSE(std::equal(key0, key0 + 8, other.key()));
    // The words are the ChaCha12 keystream of that key, block after block.
    std::uint32_t block[16];
    for (std::uint64_t b = 0; b < 6; ++b) {
        chacha_block<12>(key0, b, 0, block);
        for (int w = 0; w < 16; ++w) ASSERT_EQ(g.next_u32(), block[w]);
    }
    EXPECT_EQ(g.counter(), 8u);
}

TEST(RngTest, NextU64CursorAcrossRefills) {
    Rng ref(3);
    std::vector<std::uint64_t> w;
    for (int i = 0; i < 192; ++i) w.push_back(ref.next_u32());
    auto pair = [&](std::size_t lo) { return (w[lo + 1] << 32) | w[lo]; };
    Rng g(3);  // 1st call: refill, words 0-1; 32nd: words 62-63; 33rd: words 0-1 of block 4
    EXPECT_EQ(g.next_u64(), pair(0));
    for (int i = 2; i <= 31; ++i) g.next_u64();
    EXPECT_EQ(g.next_u64(), pair(62));
    EXPECT_EQ(g.cursor(), 64u);
    EXPECT_EQ(g.counter(), 4u);
    EXPECT_EQ(g.next_u64(), pair(64));
    EXPECT_EQ(g.counter(), 8u);
    Rng h(3);  // one 32-bit draw shifts the pairing: the 32nd 64-bit draw straddles the refill
    EXPECT_EQ(h.next_u32(), w[0]);
    std::uint64_t last = 0;
    for (int i = 0; i < 32; ++i) last = h.next_u64();
    EXPECT_EQ(last, pair(63));
    EXPECT_EQ(h.cursor(), 1u);
    EXPECT_EQ(h.next_u32(), w[65]);
}

TEST(RngTest, ZigguratTables) {
    const double *x = ziggurat_x(), *f = ziggurat_f();
    EXPECT_EQ(x[1], 3.654152885361009);
    EXPECT_EQ(x[256], 0.0);
    EXPECT_EQ(f[256], 1.0);
    struct Entry {
        const double* table;
        int i;
        double value, tol;
    };  // F to 18 decimal places
    for (auto [t, i, v, tol] : {Entry{x, 0, 3.910757959537090, 1e-15}, Entry{x, 2, 3.449278298560964, 1e-15},
                                Entry{x, 254, 0.2861745917472605, 1e-16}, Entry{x, 255, 0.2152418959132738, 1e-16},
                                Entry{f, 0, 0.000477467764586655, 6e-19}, Entry{f, 1, 0.001260285930498598, 6e-19},
                                Entry{f, 254, 0.9598790918124159, 2e-16}, Entry{f, 255, 0.9771017012827313, 2e-16}})
        EXPECT_NEAR(t[i], v, tol) << (t == x ? "X[" : "F[") << i << "]";
}

TEST(RngTest, StandardNormalAndUnitIntervals) {
    Rng pinned(42);
    for (double e : {0.06942791836196335, 0.13293812199412544, 0.2625763573739537, -0.22530087839099155})
        EXPECT_EQ(pinned.standard_normal(), e);
    Rng g(2024);
    const int n = 1'000'000;
    double sum = 0.0, sum2 = 0.0;
    int tail = 0;
    for (int i = 0; i < n; ++i) {
        const double z = g.standard_normal();
        sum += z, sum2 += z * z;
        tail += std::fabs(z) > 3.654152885361009;  // only the base layer's tail path gets there
    }
    EXPECT_NEAR(sum / n, 0.0, 0.01);
    EXPECT_NEAR(sum2 / n - (sum / n) * (sum / n), 1.0, 0.01);
    EXPECT_NEAR(tail, 258, 100);  // P(|Z| > R) = 2.58e-4
    for (int i = 0; i < 200000; ++i) {
        const double u = g.uniform53(), o = g.open01();
        ASSERT_TRUE(u >= 0.0 && u < 1.0 && o > 0.0 && o < 1.0);
    }
}

TEST(RngTest, UniformIndex) {
    // n = 1: zone is 2^63 - 1, so every value with the top bit set is rejected.
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        Rng g(seed), ref(seed);
        while (ref.next_u64() >> 63) {
        }
        EXPECT_EQ(g.uniform_index(1), 0u);
        EXPECT_EQ(g.next_u64(), ref.next_u64()) << seed;
    }
    Rng g(17);
    std::vector<int> counts(7, 0);
    for (int i = 0; i < 70000; ++i) ++counts.at(g.uniform_index(7));
    for (int c : counts) EXPECT_NEAR(c, 10000, 500);
    for (int i = 0; i < 1000; ++i) ASSERT_LT(g.uniform_index((1ull << 63) + 5), (1ull << 63) + 5);
}

TEST(RngTest, WeightedIndex) {
    const float single[] = {2.5f}, zero_one[] = {0.0f, 1.0f}, one_zero[] = {1.0f, 0.0f};
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
        Rng g(seed);
        EXPECT_EQ(g.weighted_index(single), 0u);
        EXPECT_EQ(g.cursor(), 1u);  // one 32-bit word
        EXPECT_EQ(g.weighted_index(zero_one), 1u);
        EXPECT_EQ(g.weighted_index(one_zero), 0u);
    }
    const float w[] = {1.0f, 0.0f, 3.0f, 0.0f, 4.0f};
    Rng g(31);
    std::vector<int> counts(5, 0);
    for (int i = 0; i < 80000; ++i) ++counts.at(g.weighted_index(w));
    EXPECT_EQ(counts[1] + counts[3], 0);
    for (auto [i, want, tol] : {std::tuple{0, 10000, 600}, std::tuple{2, 30000, 900}, std::tuple{4, 40000, 900}})
        EXPECT_NEAR(counts[i], want, tol) << i;
}

}  // namespace
}  // namespace morvanta
