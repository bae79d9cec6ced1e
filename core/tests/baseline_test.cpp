#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "baseline/baseline.hpp"
#include "cancel.hpp"
#include "stats/ks.hpp"
#include "stats/sort.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using Vec = std::vector<double>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Samples with the awkward values: heavy ties, signed zeros, infinities, NaN tails.
Vec sample(std::mt19937_64& gen, std::size_t n, int kind) {
    std::normal_distribution<double> nd(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Vec v(n);
    for (double& x : v) {
        x = nd(gen);
        if (kind >= 1) x = std::round(x * 2.0);  // ties
        if (kind >= 2 && u(gen) < 0.05) x = u(gen) < 0.5 ? -0.0 : 0.0;
        if (kind >= 3 && u(gen) < 0.03) x = u(gen) < 0.5 ? INFINITY : -INFINITY;
        if (kind >= 4 && u(gen) < 0.1) x = NAN;
    }
    sort_nan_last(v);
    return v;
}

// Distinct values within each sample (shared values between the two allowed):
// continuous draws, values on a coarse grid, infinities at the ends.
Vec distinct_sample(std::mt19937_64& gen, std::size_t n, int kind) {
    Vec v = sample(gen, n, 0);
    if (kind == 1)
        for (double& x : v) x = std::round(x * 64.0) / 64.0;
    if (kind == 2 && n > 2) {
        v.front() = -INFINITY;
        v.back() = INFINITY;
    }
    sort_nan_last(v);
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

TEST(KsSortedSkip, SameBitsAsTheStepByStepWalk) {
    std::mt19937_64 gen(7);
    std::uniform_int_distribution<std::size_t> len(1, 3000);
    for (int trial = 0; trial < 600; ++trial) {
        const int kind = trial % 3;
        const std::size_t m = len(gen), n = 1 + len(gen) / (1 + trial % 50);
        const Vec a = distinct_sample(gen, m, kind), b = distinct_sample(gen, n, kind);
        ASSERT_TRUE(baseline::strictly_increasing(a) && baseline::strictly_increasing(b));
        ASSERT_EQ(bits(baseline::ks_sorted_skip(a, b)), bits(ks_sorted(a, b))) << "trial " << trial;
        ASSERT_EQ(bits(baseline::ks_sorted_skip(b, a)), bits(ks_sorted(b, a))) << "trial " << trial;
    }
}

TEST(KsSortedSkip, EdgeSamples) {
    const std::vector<std::pair<Vec, Vec>> cases = {
        {{}, {1}},
        {{1}, {}},
        {{-INFINITY, 0, INFINITY}, {INFINITY}},
        {{0, 1, 2, 3, 4, 5}, {10}},
        {{10}, {0, 1, 2}},
        {{0, 1, 2, 3}, {1, 2}},
        {{-0.0, 1}, {0.0, 1}},
    };
    for (const auto& [a, b] : cases) EXPECT_EQ(bits(baseline::ks_sorted_skip(a, b)), bits(ks_sorted(a, b)));
    for (const Vec& v : {Vec{1, 1}, Vec{-0.0, 0.0}, Vec{1, NAN}}) EXPECT_FALSE(baseline::strictly_increasing(v));
    EXPECT_TRUE(baseline::strictly_increasing(Vec{-INFINITY, 1, INFINITY}));
}

MatrixF64 table(std::mt19937_64& gen, std::size_t rows, std::size_t cols, double shift) {
    std::normal_distribution<double> nd(shift, 1.0);
    MatrixF64 m(rows, cols);
    for (double& x : m.data) x = std::round(nd(gen) * 4.0) / 4.0;
    return m;
}

TEST(FittedData, ChecksEqualTheDetector) {
    std::mt19937_64 gen(3);
    for (std::size_t bins : {0u, 1u, 2u, 10u, 64u}) {
        const DataDriftDetector det{0.1, bins, 0.0001};
        const MatrixF64 base = table(gen, 5000, 6, 0.0);
        auto fit = baseline::fit_data(det, base.view());
        ASSERT_TRUE(fit);
        for (std::size_t rows : {1u, 7u, 300u, 6000u}) {
            const MatrixF64 cur = table(gen, rows, 6, 0.2);
            auto got = baseline::check_data(fit.value(), cur.view(), true);
            auto ref = det.detect(base.view(), cur.view());
            ASSERT_TRUE(got && ref);
            EXPECT_EQ(bits(got.value().score.score), bits(ref.value().score)) << bins << " " << rows;
        }
        // A saved fit (columns already sorted) is kept as it is.
        MatrixF64 sorted(base.rows, base.cols);
        for (std::size_t c = 0; c < base.cols; ++c)
            for (std::size_t r = 0; r < base.rows; ++r) sorted.row(r)[c] = fit.value().column(c)[r];
        auto again = baseline::fit_data(det, sorted.view(), true);
        ASSERT_TRUE(again);
        EXPECT_EQ(again.value().sorted, fit.value().sorted);
        EXPECT_EQ(again.value().counts, fit.value().counts);
        EXPECT_FALSE(baseline::fit_data(det, base.view(), true));  // not sorted: refused
    }
}

TEST(FittedData, ErrorsInTheDetectorsOrderAndCancellation) {
    const DataDriftDetector det;
    const MatrixF64 base(10, 3), narrow(4, 2), empty(0, 3), cur(10, 3);
    auto fit = baseline::fit_data(det, base.view());
    ASSERT_TRUE(fit);
    EXPECT_EQ(baseline::check_data(fit.value(), narrow.view(), false).error().message(),
              det.detect(base.view(), narrow.view()).error().message());
    EXPECT_EQ(baseline::check_data(fit.value(), empty.view(), false).error().message(),
              "insufficient samples: need at least 1, got 0 (ks_two_sample)");
    CancelSource source;
    source.cancel();
    const CancelScope scope(&source);
    EXPECT_EQ(baseline::check_data(fit.value(), cur.view(), false).error().kind, ErrorKind::Cancelled);
}

// Query, response and embedding fits (the last with no, one and many directions)
// score like their detectors, errors included.
TEST(FittedOthers, ChecksEqualTheDetectors) {
    const MatrixF32 base = testkit::gaussian(800, 12, 1), cur = testkit::gaussian(90, 12, 2, 0.3f);
    const QueryDriftDetector q{0.1, 5, 50, 11, 1e-6, 1e-4f};
    auto fit = baseline::fit_query(q, base.view());
    ASSERT_TRUE(fit);
    EXPECT_EQ(bits(baseline::check_query(fit.value(), cur.view()).value().score.score),
              bits(q.detect(base.view(), cur.view()).value().score));

    const ResponseDriftDetector r{0.2, 32, 99};
    const Vec lb = {3, 1, 4, 1, 5, 9, 2, 6}, lc = {2, 7, 1, 8, 2, 8};
    const ViewF32 v = cur.view();
    EXPECT_EQ(bits(baseline::check_response(baseline::fit_response(r, lb, &base), lc, &v).value().score.score),
              bits(r.detect_with_embeddings(lb, lc, base.view(), cur.view()).value().score));

    const MatrixF32 eb = testkit::gaussian(260, 10, 5), ec = testkit::gaussian(270, 10, 6, 0.1f);
    for (std::size_t P : {0u, 1u, 64u}) {
        const EmbeddingDriftDetector det{0.05, P, 5};
        auto got = baseline::check_embedding(baseline::fit_embedding(det, eb), ec.view());
        auto ref = det.detect(eb.view(), ec.view());
        ASSERT_EQ(got.ok(), ref.ok()) << P;
        if (!ref) {
            EXPECT_EQ(got.error().message(), ref.error().message());
            continue;
        }
        EXPECT_EQ(bits(got.value().score.score), bits(ref.value().score));
        const double m = got.value().mmd2 > 0.0 ? got.value().mmd2 : 0.0;
        EXPECT_EQ(bits(m + got.value().sliced), bits(ref.value().score));
    }
}

}  // namespace
}  // namespace morvanta
