#include <set>

#include "pool.hpp"
#include "stats/kmeans.hpp"
#include "stats/kmeans_kernels.hpp"
#include "stats/rng.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();

// Values over several binades, so a fused multiply-add, a wider accumulator or a
// reordered sum shows in the low bits.
MatrixF32 random_matrix(std::size_t n, std::size_t d, unsigned seed, float spread = 3.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> expo(-spread, spread);
    MatrixF32 m(n, d);
    for (float& v : m.data) v = normal(gen) * std::exp2(expo(gen));
    return m;
}

// Row i near centre i % groups.
MatrixF32 blobs(std::size_t n, std::size_t d, std::size_t groups, unsigned seed, float sigma) {
    const MatrixF32 centres = random_matrix(groups, d, seed, 0.0f);
    MatrixF32 m = random_matrix(n, d, seed + 1, 0.0f);
    for (std::size_t i = 0; i < n * d; ++i) m.data[i] = 10.0f * centres.row(i / d % groups)[i % d] + sigma * m.data[i];
    return m;
}

float ref_d2(const float* a, const float* b, std::size_t d) {
    volatile float s = 0.0f;  // volatile: one rounded float operation at a time
    for (std::size_t t = 0; t < d; ++t) {
        volatile float diff = a[t] - b[t], sq = diff * diff;
        s = s + sq;
    }
    return s;
}

std::size_t ref_nearest(const float* row, const MatrixF32& c, float& best) {
    std::size_t bi = 0;
    best = kInf;
    for (std::size_t j = 0; j < c.rows; ++j)
        if (const float e = ref_d2(row, c.row(j), c.cols); best > e) bi = j, best = e;
    return bi;
}

// Row-by-row k-means: the yardstick for the chunked, packed, fused version.
KMeansResult ref_kmeans(const MatrixF32& x, std::size_t k, std::size_t max_iter, std::uint64_t seed, float tol) {
    const std::size_t n = x.rows, d = x.cols;
    Rng rng(seed);
    KMeansResult r{std::vector<std::size_t>(n, 0), MatrixF32(k, d), 0.0, 0};
    auto take = [&](std::size_t i, float* dst) { std::copy_n(x.row(i), d, dst); };
    take(rng.uniform_index(n), r.centroids.row(0));
    std::vector<float> minimum(n, kInf), w(n);
    for (std::size_t c = 1; c < k; ++c) {
        float total = -0.0f;
        for (std::size_t i = 0; i < n; ++i)
            total += (minimum[i] = std::min(minimum[i], ref_d2(x.row(i), r.centroids.row(c - 1), d)));
        for (std::size_t i = 0; i < n; ++i) w[i] = total > 0.0f ? std::max(minimum[i], 0.0f) : 1.0f;
        take(rng.weighted_index(w), r.centroids.row(c));
    }
    for (std::size_t it = 1; it <= max_iter; ++it) {
        MatrixF32 next(k, d);
        std::vector<std::uint32_t> count(k, 0);
        r.inertia = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            float best;
            const std::size_t l = r.labels[i] = ref_nearest(x.row(i), r.centroids, best);
            r.inertia += best;
            ++count[l];
            for (std::size_t t = 0; t < d; ++t) next.row(l)[t] += x.row(i)[t];
        }
        float moved = 0.0f;
        for (std::size_t c = 0; c < k; ++c) {
            if (count[c] == 0) take(rng.uniform_index(n), next.row(c));
            else
                for (std::size_t t = 0; t < d; ++t) next.row(c)[t] *= 1.0f / static_cast<float>(count[c]);
            moved = std::max(moved, ref_d2(r.centroids.row(c), next.row(c), d));
        }
        r.centroids = next;
        r.iterations = it;
        if (tol >= std::sqrt(moved)) break;
    }
    return r;
}

void expect_identical(const KMeansResult& a, const KMeansResult& b) {
    EXPECT_EQ(a.labels, b.labels);
    EXPECT_TRUE(same_bits(a.centroids.data, b.centroids.data));
    EXPECT_TRUE(same_bits(a.inertia, b.inertia));
    EXPECT_EQ(a.iterations, b.iterations);
}

class KMeansPaths : public PathTest {};

// Each path's packed kernel against the sequential definition: partial blocks,
// transpose tails and every centroid-group width.
TEST_P(KMeansPaths, DistanceKernelMatchesSequentialDefinition) {
    const auto kern = kmeans_detail::kernels_for(GetParam());
    for (std::size_t d : {0, 1, 5, 8, 16, 17, 40, 129})
        for (std::size_t n : {1, 7, 16, 33, 256}) {
            const MatrixF32 x = random_matrix(n, d, static_cast<unsigned>(n * 131 + d));
            const std::size_t stride = (n + kern.lanes - 1) / kern.lanes * kern.lanes;
            std::vector<float> storage(stride * d + 16);
            float* packed = storage.data();
            while (reinterpret_cast<std::uintptr_t>(packed) % 64) ++packed;
            kern.pack(x.view(), 0, n, packed);
            for (std::size_t k : {1, 2, 3, 4, 5, 6, 7, 8, 9, 17}) {
                const MatrixF32 c = random_matrix(k, d, static_cast<unsigned>(k + 7 * d));
                std::vector<float> out(k * stride);
                kern.dist(packed, stride / kern.lanes, d, c.data.data(), k, out.data(), stride);
                for (std::size_t j = 0; j < k * n; ++j)
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(out[j / n * stride + j % n]),
                              std::bit_cast<std::uint32_t>(ref_d2(x.row(j % n), c.row(j / n), d)))
                        << "n=" << n << " d=" << d << " k=" << k << " row " << j % n << " centroid " << j / n;
            }
        }
}

// Whole fits equal the row-by-row reference bit for bit, also behind a row stride,
// whatever the number of threads that share the rows and columns (the last case
// spans several pieces of each).
TEST_P(KMeansPaths, FitMatchesReference) {
    struct Case {
        std::size_t n, d, k, groups;
        float sigma;
        std::uint64_t seed;
    };
    for (const Case& cs :
         {Case{600, 19, 3, 3, 5.0f, 1}, Case{1000, 64, 8, 8, 20.0f, 7}, Case{517, 33, 13, 5, 40.0f, 3},
          Case{300, 7, 1, 2, 10.0f, 0}, Case{40, 3, 40, 40, 1.0f, 11}, Case{2600, 70, 6, 6, 30.0f, 4}}) {
        SCOPED_TRACE("n=" + std::to_string(cs.n) + " k=" + std::to_string(cs.k));
        const MatrixF32 x = blobs(cs.n, cs.d, cs.groups, static_cast<unsigned>(cs.seed + 100), cs.sigma);
        std::vector<float> wide(cs.n * (cs.d + 5), -7.0f);
        for (std::size_t i = 0; i < cs.n; ++i) std::copy_n(x.row(i), cs.d, wide.data() + i * (cs.d + 5));
        const KMeansResult want = ref_kmeans(x, cs.k, 50, cs.seed, 1e-4f);
        for (std::size_t threads : {1, 2, 7}) {
            pool_set_threads(threads);
            for (ViewF32 v : {x.view(), ViewF32{wide.data(), cs.n, cs.d, cs.d + 5}})
                expect_identical(kmeans_detail::kmeans_on(GetParam(), v, cs.k, 50, cs.seed, 1e-4f).value(), want);
        }
        pool_set_threads(0);
    }
}

TEST_P(KMeansPaths, AssignMatchesReferenceAndBreaksTiesLow) {
    const MatrixF32 x = random_matrix(700, 21, 5), c = random_matrix(11, 21, 6);
    const auto labels = kmeans_detail::assign_clusters_on(GetParam(), x.view(), c.view());
    for (std::size_t i = 0; i < x.rows; ++i) {
        float best;
        ASSERT_EQ(labels[i], ref_nearest(x.row(i), c, best)) << "row " << i;
    }
    // Centroids 2 and 5 exactly as far from the origin, the others farther; a NaN
    // row never finds a winner and stays at 0; no centroids at all gives 0 too.
    MatrixF32 cent(7, 4);
    for (std::size_t j = 0; j < 7; ++j) cent.row(j)[0] = 5.0f + static_cast<float>(j);
    cent.row(2)[0] = 0.0f, cent.row(2)[1] = 3.0f, cent.row(5)[0] = 0.0f, cent.row(5)[3] = -3.0f;
    const MatrixF32 rows(3, 4, {0, 0, 0, 0, kNaN, 0, 0, 0, 6.1f, 0, 0, 0}), none(0, 4);
    using Labels = std::vector<std::size_t>;
    EXPECT_EQ(kmeans_detail::assign_clusters_on(GetParam(), rows.view(), cent.view()), (Labels{2, 0, 1}));
    EXPECT_EQ(kmeans_detail::assign_clusters_on(GetParam(), rows.view(), none.view()), (Labels{0, 0, 0}));
    EXPECT_TRUE(kmeans_detail::assign_clusters_on(GetParam(), none.view(), cent.view()).empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, KMeansPaths, kAllPaths, param_name);

// NaN, infinities and squared distances or sums past the float range give
// NumericalInstability for every k, with or without Lloyd iterations.
TEST(KMeansTest, NonFiniteBaselineIsRejected) {
    auto with = [](float v, std::size_t at) {
        MatrixF32 m = random_matrix(20, 4, 2);
        m.data[at] = v;
        return m;
    };
    MatrixF32 far(20, 2);
    for (std::size_t i = 0; i < 20; ++i) far.row(i)[0] = i % 2 ? 1e30f : -1e30f;
    struct Case {
        MatrixF32 x;
        std::size_t k, max_iter;
    };
    const Case cases[] = {{with(kNaN, 0), 1, 0},
                          {with(kNaN, 41), 3, 0},
                          {with(kInf, 79), 1, 50},
                          {with(-kInf, 13), 2, 0},
                          {with(kNaN, 5), 20, 50},
                          {far, 2, 0},
                          {far, 1, 50},
                          {MatrixF32(4, 1, {3e38f, 3e38f, 3e38f, 3e38f}), 1, 50}};
    for (const Case& cs : cases)
        EXPECT_EQ(kmeans(cs.x.view(), cs.k, cs.max_iter, 0, 1e-4f).error().message(),
                  "numerical instability in kmeans (NaN or infinity)")
            << "case " << (&cs - cases);
}

TEST(KMeansTest, KEqualsNSeedsEveryRow) {
    const MatrixF32 x = random_matrix(12, 5, 9);
    auto row_set = [](const MatrixF32& m) {
        std::set<std::vector<float>> s;
        for (std::size_t i = 0; i < m.rows; ++i) s.emplace(m.row(i), m.row(i) + m.cols);
        return s;
    };
    for (std::uint64_t seed : {0u, 1u, 2u}) {
        const KMeansResult r = kmeans(x.view(), 12, 50, seed, 1e-4f).value();
        EXPECT_EQ(row_set(r.centroids), row_set(x));
        EXPECT_EQ(r.inertia, 0.0);
        EXPECT_EQ(r.iterations, 1u);
    }
}

TEST(KMeansTest, IdenticalRowsReseedEmptyClustersAndStopAfterOneIteration) {
    const float row[3] = {0.5f, -1.25f, 2.0f};
    MatrixF32 x(30, 3);
    for (std::size_t i = 0; i < 30; ++i) std::copy_n(row, 3, x.row(i));
    const KMeansResult r = kmeans(x.view(), 3, 50, 4, 1e-4f).value();
    EXPECT_EQ(r.iterations, 1u);
    EXPECT_EQ(r.labels, std::vector<std::size_t>(30, 0));
    EXPECT_EQ(r.inertia, 0.0);
    // Cluster 0 is a mean (30 additions, then times 1/30); the re-seeded ones are rows.
    for (std::size_t t = 0; t < 3; ++t) EXPECT_NEAR(r.centroids.row(0)[t], row[t], 1e-6f);
    for (std::size_t c = 1; c < 3; ++c) EXPECT_TRUE(std::equal(row, row + 3, r.centroids.row(c)));
}

// max_iter = 0 returns the seeds, labels 0, inertia 0; another seed moves them.
TEST(KMeansTest, MaxIterZeroReturnsTheSeeds) {
    const MatrixF32 x = random_matrix(50, 6, 3);
    const KMeansResult r = kmeans(x.view(), 4, 0, 21, 1e-4f).value();
    expect_identical(r, ref_kmeans(x, 4, 0, 21, 1e-4f));
    expect_identical(r, KMeansResult{std::vector<std::size_t>(50, 0), r.centroids, 0.0, 0});
    EXPECT_FALSE(same_bits(kmeans(x.view(), 4, 0, 22, 1e-4f).value().centroids.data, r.centroids.data));
}

TEST(KMeansTest, StoppingRule) {
    const MatrixF32 x = random_matrix(300, 4, 12, 1.0f);
    struct Case {
        std::size_t max_iter;
        float tol;
        std::size_t iterations;
    };
    for (const Case& cs : {Case{50, 1e30f, 1}, Case{7, kNaN, 7}, Case{1, 0.0f, 1}})
        EXPECT_EQ(kmeans(x.view(), 5, cs.max_iter, 0, cs.tol).value().iterations, cs.iterations) << cs.tol;
}

// The sums take each chunk of rows as soon as it and every chunk before it are
// labelled, on whichever thread gets there: fits over many chunks (ragged last
// one, one cluster included, where the first pass also packs the rows), repeated
// so that the hand-over between threads varies, still equal the reference.
TEST(KMeansTest, ChunksHandedBetweenThreadsKeepRowOrder) {
    const MatrixF32 x = blobs(256 * 13 + 37, 24, 5, 41, 25.0f);
    for (std::size_t k : {1, 5}) {
        const KMeansResult want = ref_kmeans(x, k, 30, 9, 1e-4f);
        ASSERT_GT(want.iterations, k == 1 ? 0u : 2u);
        for (std::size_t threads : {2, 3, 7})
            for (int rep = 0; rep < 3; ++rep) {
                SCOPED_TRACE("k=" + std::to_string(k) + " threads " + std::to_string(threads));
                pool_set_threads(threads);
                expect_identical(kmeans(x.view(), k, 30, 9, 1e-4f).value(), want);
            }
    }
    pool_set_threads(0);
}

}  // namespace
}  // namespace morvanta
