#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "stats/rng.hpp"

using morvanta::ChaChaRng;
using morvanta::Rng;

namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

template <int Rounds>
std::vector<std::uint8_t> block_bytes(const std::uint32_t key[8], std::uint64_t counter) {
    std::uint32_t w[16];
    morvanta::chacha_block<Rounds>(key, counter, 0, w);
    std::vector<std::uint8_t> out;
    for (std::uint32_t v : w)
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    return out;
}

struct KeystreamCase {
    const char* name;
    int rounds;
    std::uint64_t counter;
    const char* hex;
};

// Published keystreams for the all-zero 256-bit key and all-zero nonce/IV:
// ChaCha20 from RFC 8439 (appendix A.1, test vectors 1 and 2), ChaCha12 and ChaCha8
// from the widely used reduced-round test vectors.
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
    {"r8_ctr0", 8, 0,
     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
     "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
};

class ChaChaKeystreamTest : public ::testing::TestWithParam<KeystreamCase> {};

TEST_P(ChaChaKeystreamTest, ZeroKeyMatchesPublishedVector) {
    const KeystreamCase& c = GetParam();
    const std::uint32_t key[8] = {};
    std::vector<std::uint8_t> got;
    if (c.rounds == 20) got = block_bytes<20>(key, c.counter);
    if (c.rounds == 12) got = block_bytes<12>(key, c.counter);
    if (c.rounds == 8) got = block_bytes<8>(key, c.counter);
    EXPECT_EQ(got, from_hex(c.hex));
}

INSTANTIATE_TEST_SUITE_P(RngChaCha, ChaChaKeystreamTest, ::testing::ValuesIn(kKeystreams),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RngTest, CounterHighWordAndStreamEnterTheBlock) {
    const std::uint32_t key[8] = {};
    std::uint32_t a[16], b[16], c[16];
    morvanta::chacha_block<12>(key, 1, 0, a);
    morvanta::chacha_block<12>(key, 1ull << 32, 0, b);
    morvanta::chacha_block<12>(key, 1, 1, c);
    EXPECT_NE(std::vector<std::uint32_t>(a, a + 16), std::vector<std::uint32_t>(b, b + 16));
    EXPECT_NE(std::vector<std::uint32_t>(a, a + 16), std::vector<std::uint32_t>(c, c + 16));
}

TEST(RngTest, SeedDerivesPcgKey) {
    // Eight XSH-RR outputs of PCG32 started from state 0.
    const std::uint32_t expect0[8] = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                      0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    const std::uint32_t expect1[8] = {0x721dd8ea, 0x4e10265d, 0xf83b9c89, 0x2e78ce42,
                                      0xda03d3ba, 0xc2d29799, 0xac560212, 0x1bfb6673};
    Rng g0(0), g1(1);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(g0.key()[k], expect0[k]) << k;
        EXPECT_EQ(g1.key()[k], expect1[k]) << k;
    }
    EXPECT_EQ(g0.cursor(), 64u);
    EXPECT_EQ(g0.counter(), 0u);
    // First draws of seed 0.
    EXPECT_EQ(g0.next_u64(), 0xbb2a3fb2cd2c6f7full);
    EXPECT_EQ(g0.next_u64(), 0xc6017c948e27697bull);
}

TEST(RngTest, StreamIsTheChaCha12KeystreamOfTheKey) {
    Rng g(12345);
    std::uint32_t block[16];
    for (std::uint64_t b = 0; b < 12; ++b) {
        morvanta::chacha_block<12>(g.key(), b, 0, block);
        for (int w = 0; w < 16; ++w) ASSERT_EQ(g.next_u32(), block[w]) << "block " << b << " word " << w;
    }
    EXPECT_EQ(g.counter(), 12u);
}

TEST(RngTest, SameSeedSameStreamDifferentSeedDifferentStream) {
    Rng a(7), b(7), c(8);
    bool differs = false;
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t va = a.next_u64();
        ASSERT_EQ(va, b.next_u64());
        differs |= va != c.next_u64();
    }
    EXPECT_TRUE(differs);
}

TEST(RngTest, NextU64CursorAcrossRefills) {
    Rng g(3);
    Rng ref(3);
    std::vector<std::uint32_t> words;
    for (int i = 0; i < 192; ++i) words.push_back(ref.next_u32());
    auto pair = [&](std::size_t lo) { return (std::uint64_t(words[lo + 1]) << 32) | words[lo]; };

    EXPECT_EQ(g.next_u64(), pair(0));
    EXPECT_EQ(g.cursor(), 2u);
    EXPECT_EQ(g.counter(), 4u);
    for (int i = 2; i <= 31; ++i) g.next_u64();
    EXPECT_EQ(g.next_u64(), pair(62));  // 32nd call: words 62 and 63
    EXPECT_EQ(g.cursor(), 64u);
    EXPECT_EQ(g.counter(), 4u);
    EXPECT_EQ(g.next_u64(), pair(64));  // 33rd: words 0 and 1 of block 4
    EXPECT_EQ(g.cursor(), 2u);
    EXPECT_EQ(g.counter(), 8u);
}

TEST(RngTest, NextU64StraddlingARefill) {
    Rng g(11);
    Rng ref(11);
    std::vector<std::uint32_t> words;
    for (int i = 0; i < 128; ++i) words.push_back(ref.next_u32());

    EXPECT_EQ(g.next_u32(), words[0]);
    std::uint64_t last = 0;
    for (int i = 0; i < 32; ++i) last = g.next_u64();
    EXPECT_EQ(last, (std::uint64_t(words[64]) << 32) | words[63]);
    EXPECT_EQ(g.cursor(), 1u);
    EXPECT_EQ(g.counter(), 8u);
    EXPECT_EQ(g.next_u32(), words[65]);
}

TEST(RngTest, ZigguratTables) {
    const double* x = morvanta::ziggurat_x();
    const double* f = morvanta::ziggurat_f();
    EXPECT_EQ(x[1], 3.654152885361009);
    EXPECT_NEAR(x[0], 3.910757959537090, 1e-15);
    EXPECT_NEAR(x[2], 3.449278298560964, 1e-15);
    EXPECT_NEAR(x[254], 0.2861745917472605, 1e-16);
    EXPECT_NEAR(x[255], 0.2152418959132738, 1e-16);
    EXPECT_EQ(x[256], 0.0);
    // F is given to 18 decimal places.
    EXPECT_NEAR(f[0], 0.000477467764586655, 6e-19);
    EXPECT_NEAR(f[1], 0.001260285930498598, 6e-19);
    EXPECT_NEAR(f[254], 0.9598790918124159, 2e-16);
    EXPECT_NEAR(f[255], 0.9771017012827313, 2e-16);
    EXPECT_EQ(f[256], 1.0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_GT(x[i], x[i + 1]) << i;
        ASSERT_LT(f[i], f[i + 1]) << i;
    }
}

TEST(RngTest, StandardNormalPinnedValues) {
    const double expect[6] = {0.06942791836196335,  0.13293812199412544, 0.2625763573739537,
                              -0.22530087839099155, -0.6642248458355339, -0.21539020517406807};
    Rng g(42);
    for (double e : expect) EXPECT_EQ(g.standard_normal(), e);
}

TEST(RngTest, StandardNormalMoments) {
    Rng g(2024);
    const int n = 1'000'000;
    double sum = 0.0, sum2 = 0.0;
    int beyond_r = 0;
    for (int i = 0; i < n; ++i) {
        const double z = g.standard_normal();
        sum += z;
        sum2 += z * z;
        beyond_r += std::fabs(z) > 3.654152885361009;
    }
    const double mean = sum / n;
    const double var = sum2 / n - mean * mean;
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(var, 1.0, 0.01);
    // P(|Z| > R) = 2.58e-4: the tail path must be taken (about 258 times).
    EXPECT_GT(beyond_r, 150);
    EXPECT_LT(beyond_r, 400);
}

TEST(RngTest, UnitIntervalBounds) {
    Rng g(5);
    for (int i = 0; i < 200000; ++i) {
        const double u = g.uniform53();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        const double o = g.open01();
        ASSERT_GT(o, 0.0);
        ASSERT_LT(o, 1.0);
    }
}

TEST(RngTest, UnitIntervalExactFromBits) {
    Rng a(9), b(9);
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t v = b.next_u64();
        ASSERT_EQ(a.uniform53(), std::ldexp(static_cast<double>(v >> 11), -53));
        const std::uint64_t w = b.next_u64();
        ASSERT_EQ(a.open01(), 1.0 + std::ldexp(static_cast<double>(w >> 12), -52) - 0.9999999999999999);
    }
}

TEST(RngTest, UniformIndexOfOneRejectsTopBitSet) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        Rng g(seed), ref(seed);
        std::size_t consumed = 0;
        for (;;) {
            ++consumed;
            if ((ref.next_u64() >> 63) == 0) break;
        }
        EXPECT_EQ(g.uniform_index(1), 0u);
        EXPECT_EQ(g.next_u64(), ref.next_u64()) << "seed " << seed << " consumed " << consumed;
    }
}

TEST(RngTest, UniformIndexRangeAndBalance) {
    Rng g(17);
    std::vector<int> counts(7, 0);
    for (int i = 0; i < 70000; ++i) {
        const std::uint64_t k = g.uniform_index(7);
        ASSERT_LT(k, 7u);
        ++counts[k];
    }
    for (int c : counts) EXPECT_NEAR(c, 10000, 500);
    const std::uint64_t big = (1ull << 63) + 12345;
    for (int i = 0; i < 1000; ++i) ASSERT_LT(g.uniform_index(big), big);
}

TEST(RngTest, UniformIndexOfPowerOfTwo) {
    // n = 2^10: zone = 2^63 - 1, so a value is rejected exactly when bit 53 is set
    // (the low product word is v << 10); an accepted value gives its top 10 bits.
    Rng g(23), ref(23);
    for (int i = 0; i < 100; ++i) {
        std::uint64_t v;
        do v = ref.next_u64();
        while ((v >> 53) & 1);
        ASSERT_EQ(g.uniform_index(1u << 10), v >> 54) << i;
    }
}

TEST(RngTest, WeightedIndexCases) {
    const float single[] = {2.5f};
    const float zero_one[] = {0.0f, 1.0f};
    const float one_zero[] = {1.0f, 0.0f};
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
        Rng g(seed), ref(seed);
        EXPECT_EQ(g.weighted_index(single), 0u);
        ref.next_u32();
        EXPECT_EQ(g.cursor(), ref.cursor());
        EXPECT_EQ(g.weighted_index(zero_one), 1u);
        EXPECT_EQ(g.weighted_index(one_zero), 0u);
    }
}

TEST(RngTest, WeightedIndexFollowsTheWeights) {
    const float w[] = {1.0f, 0.0f, 3.0f, 0.0f, 4.0f};
    Rng g(31);
    std::vector<int> counts(5, 0);
    for (int i = 0; i < 80000; ++i) ++counts[g.weighted_index(w)];
    EXPECT_EQ(counts[1], 0);
    EXPECT_EQ(counts[3], 0);
    EXPECT_NEAR(counts[0], 10000, 600);
    EXPECT_NEAR(counts[2], 30000, 900);
    EXPECT_NEAR(counts[4], 40000, 900);
}

TEST(RngTest, WeightedIndexDrawIsQTimesTotal) {
    // Integral weights keep every sum exact, so the index is determined by q * T.
    const float w[] = {1.0f, 2.0f, 3.0f, 2.0f};  // sums 1, 3, 6; T = 8
    Rng g(77), ref(77);
    for (int i = 0; i < 500; ++i) {
        const std::uint32_t a = ref.next_u32();
        const float x = (static_cast<float>(a >> 9) * 0x1p-23f) * 8.0f;
        const std::size_t expect = (1.0f <= x) + (3.0f <= x) + (6.0f <= x);
        ASSERT_EQ(g.weighted_index(w), expect) << i;
    }
}

}  // namespace
