#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>
#include "stats/kmeans.hpp"
#include "stats/kmeans_kernels.hpp"
#include "stats/rng.hpp"

using namespace morvanta;
using kmeans_detail::Path;

namespace {

const Path kAllPaths[] = {Path::Portable, Path::Avx2, Path::Avx512};

// Values spread over several binades, so that any fused multiply-add, wider
// accumulator or reordered sum changes low bits of the distances.
MatrixF32 random_matrix(std::size_t n, std::size_t d, unsigned seed, float spread = 3.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> expo(-spread, spread);
    MatrixF32 m(n, d);
    for (float& v : m.data) v = normal(gen) * std::exp2(expo(gen));
    return m;
}

// `groups` Gaussian blobs far apart; row i belongs to blob i % groups.
MatrixF32 blobs(std::size_t n, std::size_t d, std::size_t groups, unsigned seed, float sigma = 0.1f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    MatrixF32 centres(groups, d);
    for (float& v : centres.data) v = 10.0f * normal(gen);
    MatrixF32 m(n, d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < d; ++t) m.row(i)[t] = centres.row(i % groups)[t] + sigma * normal(gen);
    return m;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

float ref_d2(const float* a, const float* b, std::size_t d) {
    volatile float s = 0.0f;  // volatile: one rounded float operation at a time
    for (std::size_t t = 0; t < d; ++t) {
        volatile float diff = a[t] - b[t];
        volatile float sq = diff * diff;
        s = s + sq;
    }
    return s;
}

std::size_t ref_nearest(const float* row, const MatrixF32& c, float& best) {
    std::size_t bi = 0;
    best = std::numeric_limits<float>::infinity();
    for (std::size_t j = 0; j < c.rows; ++j) {
        const float e = ref_d2(row, c.row(j), c.cols);
        if (best > e) bi = j;
        best = std::min(best, e);
    }
    return bi;
}

// Straightforward row-by-row k-means, the yardstick for the chunked SIMD version.
KMeansResult ref_kmeans(const MatrixF32& x, std::size_t k, std::size_t max_iter, std::uint64_t seed, float tol) {
    const std::size_t n = x.rows, d = x.cols;
    Rng rng(seed);
    KMeansResult r;
    r.centroids = MatrixF32(k, d);
    std::copy_n(x.row(rng.uniform_index(n)), d, r.centroids.row(0));
    std::vector<float> minimum(n, std::numeric_limits<float>::infinity()), w(n);
    for (std::size_t c = 1; c < k; ++c) {
        float total = -0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float e = ref_d2(x.row(i), r.centroids.row(c - 1), d);
            if (minimum[i] > e) minimum[i] = e;
            total += minimum[i];
        }
        for (std::size_t i = 0; i < n; ++i) w[i] = total > 0.0f ? std::max(minimum[i], 0.0f) : 1.0f;
        std::copy_n(x.row(rng.weighted_index(w)), d, r.centroids.row(c));
    }
    r.labels.assign(n, 0);
    for (std::size_t it = 1; it <= max_iter; ++it) {
        r.inertia = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            float best;
            r.labels[i] = ref_nearest(x.row(i), r.centroids, best);
            r.inertia += best;
        }
        MatrixF32 next(k, d);
        std::vector<std::uint32_t> count(k, 0);
        for (std::size_t i = 0; i < n; ++i) {
            ++count[r.labels[i]];
            for (std::size_t t = 0; t < d; ++t) next.row(r.labels[i])[t] += x.row(i)[t];
        }
        for (std::size_t c = 0; c < k; ++c) {
            if (count[c] == 0) {
                std::copy_n(x.row(rng.uniform_index(n)), d, next.row(c));
                continue;
            }
            const float inv = 1.0f / static_cast<float>(count[c]);
            for (std::size_t t = 0; t < d; ++t) next.row(c)[t] *= inv;
        }
        float m = 0.0f;
        for (std::size_t c = 0; c < k; ++c) m = std::max(m, ref_d2(r.centroids.row(c), next.row(c), d));
        r.centroids = next;
        r.iterations = it;
        if (tol >= std::sqrt(m)) break;
    }
    return r;
}

void expect_identical(const KMeansResult& a, const KMeansResult& b) {
    EXPECT_EQ(a.labels, b.labels);
    EXPECT_EQ(a.centroids.rows, b.centroids.rows);
    EXPECT_TRUE(same_bits(a.centroids.data, b.centroids.data));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.inertia), std::bit_cast<std::uint64_t>(b.inertia))
        << a.inertia << " vs " << b.inertia;
    EXPECT_EQ(a.iterations, b.iterations);
}

class KMeansPathTest : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        if (!kmeans_detail::path_available(GetParam())) GTEST_SKIP() << "CPU lacks " << path_name(GetParam());
    }
};

std::string path_label(const ::testing::TestParamInfo<Path>& info) { return kmeans_detail::path_name(info.param); }

}  // namespace

// The packed distance kernel of each path against the sequential definition,
// over shapes that exercise partial blocks, transpose tails and centroid groups.
TEST_P(KMeansPathTest, DistanceKernelMatchesSequentialDefinition) {
    const auto kern = kmeans_detail::kernels_for(GetParam());
    for (std::size_t d : {0, 1, 5, 8, 16, 17, 40, 129}) {
        for (std::size_t n : {1, 7, 16, 33, 256}) {
            const MatrixF32 x = random_matrix(n, d, static_cast<unsigned>(n * 131 + d));
            const std::size_t nblocks = (n + kern.lanes - 1) / kern.lanes;
            std::vector<float> packed_storage(nblocks * kern.lanes * d + 16);
            float* packed = packed_storage.data();
            while (reinterpret_cast<std::uintptr_t>(packed) % 64) ++packed;
            kern.pack(x.view(), 0, n, packed);
            for (std::size_t k : {1, 2, 3, 4, 5, 6, 7, 8, 9, 17}) {
                const MatrixF32 c = random_matrix(k, d, static_cast<unsigned>(k + 7 * d));
                const std::size_t stride = nblocks * kern.lanes;
                std::vector<float> out(k * stride);
                kern.dist(packed, nblocks, d, c.data.data(), k, out.data(), stride);
                for (std::size_t j = 0; j < k; ++j)
                    for (std::size_t i = 0; i < n; ++i)
                        ASSERT_EQ(std::bit_cast<std::uint32_t>(out[j * stride + i]),
                                  std::bit_cast<std::uint32_t>(ref_d2(x.row(i), c.row(j), d)))
                            << "n=" << n << " d=" << d << " k=" << k << " row " << i << " centroid " << j;
            }
        }
    }
}

// Whole fits on every path equal the row-by-row reference bit for bit: labels,
// centroids, inertia and iteration count (several chunks, strided rows).
TEST_P(KMeansPathTest, FitMatchesReference) {
    struct Case {
        std::size_t n, d, k, groups;
        float sigma;
        std::uint64_t seed;
    };
    for (const Case& cs : {Case{600, 19, 3, 3, 0.5f, 1}, Case{1000, 64, 8, 8, 2.0f, 7}, Case{517, 33, 13, 5, 4.0f, 3},
                           Case{300, 7, 1, 2, 1.0f, 0}, Case{40, 3, 40, 40, 0.1f, 11}}) {
        const MatrixF32 x = blobs(cs.n, cs.d, cs.groups, static_cast<unsigned>(cs.seed + 100), cs.sigma);
        // The same rows behind a wider stride must not change anything.
        std::vector<float> wide(cs.n * (cs.d + 5), -7.0f);
        for (std::size_t i = 0; i < cs.n; ++i) std::copy_n(x.row(i), cs.d, wide.data() + i * (cs.d + 5));
        const ViewF32 strided{wide.data(), cs.n, cs.d, cs.d + 5};

        const KMeansResult want = ref_kmeans(x, cs.k, 50, cs.seed, 1e-4f);
        auto got = kmeans_detail::kmeans_on(GetParam(), x.view(), cs.k, 50, cs.seed, 1e-4f);
        auto got_strided = kmeans_detail::kmeans_on(GetParam(), strided, cs.k, 50, cs.seed, 1e-4f);
        ASSERT_TRUE(got.ok() && got_strided.ok()) << "n=" << cs.n;
        SCOPED_TRACE("n=" + std::to_string(cs.n) + " k=" + std::to_string(cs.k));
        expect_identical(got.value(), want);
        expect_identical(got_strided.value(), want);
    }
}

TEST_P(KMeansPathTest, AssignMatchesReferenceAndBreaksTiesLow) {
    const MatrixF32 x = random_matrix(700, 21, 5);
    const MatrixF32 c = random_matrix(11, 21, 6);
    const auto labels = kmeans_detail::assign_clusters_on(GetParam(), x.view(), c.view());
    ASSERT_EQ(labels.size(), x.rows);
    for (std::size_t i = 0; i < x.rows; ++i) {
        float best;
        ASSERT_EQ(labels[i], ref_nearest(x.row(i), c, best)) << "row " << i;
    }

    // Centroids 2 and 5 at exactly the same distance from the origin row, all others farther.
    MatrixF32 cent(7, 4);
    for (std::size_t j = 0; j < 7; ++j) cent.row(j)[0] = 5.0f + static_cast<float>(j);
    cent.row(2)[0] = 0.0f, cent.row(2)[1] = 3.0f;
    cent.row(5)[0] = 0.0f, cent.row(5)[3] = -3.0f;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    MatrixF32 rows(3, 4, {0, 0, 0, 0, nan, 0, 0, 0, 6.1f, 0, 0, 0});
    EXPECT_EQ(kmeans_detail::assign_clusters_on(GetParam(), rows.view(), cent.view()),
              (std::vector<std::size_t>{2, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Paths, KMeansPathTest, ::testing::ValuesIn(kAllPaths), path_label);

TEST(KMeansTest, ConfigErrorsInOrder) {
    const MatrixF32 five = random_matrix(5, 3, 1);
    const MatrixF32 empty(0, 3);
    struct Case {
        const MatrixF32* x;
        std::size_t k;
        const char* message;
    };
    for (const Case& cs : {Case{&five, 0, "invalid configuration: kmeans: k must be > 0"},
                           Case{&empty, 0, "invalid configuration: kmeans: k must be > 0"},
                           Case{&five, 8, "invalid configuration: kmeans: k=8 exceeds sample count n=5"},
                           Case{&five, 6, "invalid configuration: kmeans: k=6 exceeds sample count n=5"},
                           Case{&empty, 1, "invalid configuration: kmeans: k=1 exceeds sample count n=0"}}) {
        auto r = kmeans(cs.x->view(), cs.k, 50, 0, 1e-4f);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidConfig);
        EXPECT_EQ(r.error().message(), cs.message);
    }
}

// Non-finite input or overflowing squared distances give NumericalInstability,
// for every k, instead of clusters.
TEST(KMeansTest, NonFiniteBaselineIsRejected) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto with = [](float v, std::size_t at) {
        MatrixF32 m = random_matrix(20, 4, 2);
        m.data[at] = v;
        return m;
    };
    MatrixF32 overflow(20, 2);
    for (std::size_t i = 0; i < 20; ++i) overflow.row(i)[0] = (i % 2 ? 1e30f : -1e30f);
    MatrixF32 sum_overflow(4, 1, {3e38f, 3e38f, 3e38f, 3e38f});
    struct Case {
        MatrixF32 x;
        std::size_t k;
        bool lloyd_only;  // the overflow shows only once the iterations run
    };
    const Case cases[] = {{with(nan, 0), 1, false},   {with(nan, 41), 3, false}, {with(inf, 79), 1, false},
                          {with(-inf, 13), 2, false}, {with(nan, 5), 20, false}, {overflow, 2, false},
                          {overflow, 1, true},        {sum_overflow, 1, true}};
    for (std::size_t ci = 0; ci < std::size(cases); ++ci) {
        for (std::size_t max_iter : {std::size_t{0}, std::size_t{50}}) {
            if (max_iter == 0 && cases[ci].lloyd_only) continue;
            auto r = kmeans(cases[ci].x.view(), cases[ci].k, max_iter, 0, 1e-4f);
            ASSERT_FALSE(r.ok()) << "case " << ci << " max_iter " << max_iter;
            EXPECT_EQ(r.error().message(), "numerical instability in kmeans (NaN or infinity)");
        }
    }
}

TEST(KMeansTest, KEqualsNSeedsEveryRow) {
    const MatrixF32 x = random_matrix(12, 5, 9);
    for (std::uint64_t seed : {0u, 1u, 2u}) {
        auto r = kmeans(x.view(), 12, 0, seed, 1e-4f);
        ASSERT_TRUE(r.ok());
        std::set<std::vector<float>> rows, cents;
        for (std::size_t i = 0; i < 12; ++i) {
            rows.emplace(x.row(i), x.row(i) + 5);
            cents.emplace(r.value().centroids.row(i), r.value().centroids.row(i) + 5);
        }
        EXPECT_EQ(rows, cents);
        auto fit = kmeans(x.view(), 12, 50, seed, 1e-4f);
        ASSERT_TRUE(fit.ok());
        EXPECT_EQ(fit.value().inertia, 0.0);
        EXPECT_EQ(fit.value().iterations, 1u);
    }
}

TEST(KMeansTest, IdenticalRowsReseedEmptyClustersAndStopAfterOneIteration) {
    MatrixF32 x(30, 3);
    for (std::size_t i = 0; i < 30; ++i) x.row(i)[0] = 0.5f, x.row(i)[1] = -1.25f, x.row(i)[2] = 2.0f;
    auto r = kmeans(x.view(), 3, 50, 4, 1e-4f);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().iterations, 1u);
    EXPECT_EQ(r.value().labels, std::vector<std::size_t>(30, 0));
    EXPECT_EQ(r.value().inertia, 0.0);
    const float row[3] = {0.5f, -1.25f, 2.0f};
    // Cluster 0 is a mean (30 additions, then 1/30), the re-seeded ones are rows.
    for (std::size_t t = 0; t < 3; ++t) EXPECT_NEAR(r.value().centroids.row(0)[t], row[t], 1e-6f);
    for (std::size_t c = 1; c < 3; ++c)
        EXPECT_EQ(std::vector<float>(r.value().centroids.row(c), r.value().centroids.row(c) + 3),
                  std::vector<float>(row, row + 3));
}

// Seeding draws in the stated order: uniform first centre, then one weighted draw
// per further centre; max_iter = 0 returns exactly those seeds.
TEST(KMeansTest, MaxIterZeroReturnsTheSeeds) {
    const MatrixF32 x = random_matrix(50, 6, 3);
    const KMeansResult want = ref_kmeans(x, 4, 0, 21, 1e-4f);
    auto r = kmeans(x.view(), 4, 0, 21, 1e-4f);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().labels, std::vector<std::size_t>(50, 0));
    EXPECT_EQ(r.value().inertia, 0.0);
    EXPECT_EQ(r.value().iterations, 0u);
    EXPECT_TRUE(same_bits(r.value().centroids.data, want.centroids.data));
    Rng rng(21);
    const std::size_t first = rng.uniform_index(50);
    EXPECT_TRUE(same_bits(std::vector<float>(r.value().centroids.row(0), r.value().centroids.row(0) + 6),
                          std::vector<float>(x.row(first), x.row(first) + 6)));
}

TEST(KMeansTest, DeterministicAndSeedSensitive) {
    const MatrixF32 x = random_matrix(400, 10, 8);
    auto a = kmeans(x.view(), 6, 50, 99, 1e-4f);
    auto b = kmeans(x.view(), 6, 50, 99, 1e-4f);
    ASSERT_TRUE(a.ok() && b.ok());
    expect_identical(a.value(), b.value());
    auto s0 = kmeans(x.view(), 6, 0, 0, 1e-4f), s1 = kmeans(x.view(), 6, 0, 1, 1e-4f);
    EXPECT_FALSE(same_bits(s0.value().centroids.data, s1.value().centroids.data));
}

TEST(KMeansTest, StoppingRule) {
    const MatrixF32 x = random_matrix(300, 4, 12, 1.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto loose = kmeans(x.view(), 5, 50, 0, 1e30f);  // any movement is within tolerance
    auto never = kmeans(x.view(), 5, 7, 0, nan);      // tol >= shift is never true
    auto one = kmeans(x.view(), 5, 1, 0, 0.0f);
    ASSERT_TRUE(loose.ok() && never.ok() && one.ok());
    EXPECT_EQ(loose.value().iterations, 1u);
    EXPECT_EQ(never.value().iterations, 7u);
    EXPECT_EQ(one.value().iterations, 1u);
}

TEST(KMeansTest, RecoversWellSeparatedBlobs) {
    const MatrixF32 x = blobs(800, 16, 8, 4);
    auto r = kmeans(x.view(), 8, 50, 5, 1e-4f);
    ASSERT_TRUE(r.ok());
    // Blobs this far apart each get a cluster of their own, and the final labels
    // are those of the returned centroids.
    std::vector<std::set<std::size_t>> per_blob(8);
    std::set<std::size_t> used;
    for (std::size_t i = 0; i < 800; ++i) per_blob[i % 8].insert(r.value().labels[i]);
    for (const auto& s : per_blob) {
        EXPECT_EQ(s.size(), 1u);
        used.insert(*s.begin());
    }
    EXPECT_EQ(used.size(), 8u);
    EXPECT_EQ(assign_clusters(x.view(), r.value().centroids.view()), r.value().labels);
}

TEST(KMeansTest, AssignEdgeCases) {
    const MatrixF32 c = random_matrix(3, 4, 1);
    EXPECT_TRUE(assign_clusters(MatrixF32(0, 4).view(), c.view()).empty());
    EXPECT_EQ(assign_clusters(random_matrix(5, 4, 2).view(), MatrixF32(0, 4).view()), std::vector<std::size_t>(5, 0));
}
