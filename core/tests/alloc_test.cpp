// Buffer sizes derived from settings and claimed dimensions: every product is
// checked before allocating, and a request the machine cannot hold comes back
// as an OutOfMemory error naming the buffer and the true (unwrapped) size.
#include <climits>
#include <new>

#include "detectors/detectors.hpp"
#include "snapshot.hpp"
#include "stats/kmeans.hpp"
#include "stats/ks.hpp"
#include "stats/mmd.hpp"
#include "stats/psi.hpp"
#include "stats/wasserstein.hpp"
#include "stats/wasserstein_kernels.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
constexpr std::size_t kMax = SIZE_MAX;

ByteCount pow2(int e) { return ByteCount{1} << e; }

// A view of `rows` rows and no columns: costs nothing to pass, claims any length.
ViewF32 empty_rows(std::size_t rows) {
    static const float dummy = 0.0f;
    return ViewF32{&dummy, rows, 0, 0};
}

template <class T>
std::string message(const Result<T>& r) {
    return r.ok() ? "ok" : r.error().message();
}

TEST(AllocSize, ByteCountsAreExactPastSixtyFourBits) {
    EXPECT_EQ(to_decimal(0), "0");
    EXPECT_EQ(to_decimal(pow2(64)), "18446744073709551616");
    EXPECT_EQ(to_decimal(byte_count({std::size_t{1} << 62, 4}, sizeof(float))), "73786976294838206464");
    EXPECT_EQ(to_decimal(byte_count({kMax, 4}, 4)), "295147905179352825840");
    EXPECT_EQ(byte_count({kMax, kMax}, 1), ByteCount{kMax} * kMax);
    // A zero factor gives zero even next to factors that would saturate.
    EXPECT_EQ(byte_count({kMax, kMax, kMax, 0}, 8), ByteCount{0});
    EXPECT_EQ(byte_count({}, 8), ByteCount{8});
    // Saturation instead of wrapping, for products and sums alike.
    const ByteCount top = byte_count({kMax, kMax, kMax}, 8);
    EXPECT_EQ(top, ~ByteCount{0});
    EXPECT_EQ(byte_sum(top, 1), top);
    EXPECT_EQ(byte_sum(pow2(64), pow2(64)), pow2(65));
    EXPECT_EQ(to_decimal(top), "more than 340282366920938463463374607431768211454");
}

TEST(AllocSize, LimitAndCheckBoundary) {
    const std::size_t limit = alloc_limit();
    EXPECT_GT(limit, std::size_t{1} << 26);  // any machine that builds this has 64 MB
    EXPECT_LE(limit, static_cast<std::size_t>(PTRDIFF_MAX));
    EXPECT_FALSE(check_alloc(limit, "x", "k"));
    auto e = check_alloc(ByteCount{limit} + 1, "the test buffer", "unit");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, ErrorKind::OutOfMemory);
    EXPECT_EQ(e->bytes(), ByteCount{limit} + 1);
    EXPECT_EQ(e->message(), "cannot allocate " + std::to_string(limit + 1) + " bytes for the test buffer (unit)");
    // The byte count survives the error's two 64-bit halves.
    EXPECT_EQ(DriftError::out_of_memory(pow2(100) + 7, "b", "c").bytes(), pow2(100) + 7);

    EXPECT_EQ(checked_count({3, 5}, 8), 15u);
    EXPECT_EQ(checked_count({kMax, 0}, 8), 0u);
    EXPECT_THROW(checked_count({std::size_t{1} << 62, 8}, 4), std::bad_array_new_length);
    EXPECT_THROW(checked_count({limit / 4 + 1}, 4), std::bad_alloc);
    EXPECT_EQ(checked_count({limit / 4}, 4), limit / 4);
}

TEST(AllocSize, SlicedWassersteinRefusesDirectionsAndProjections) {
    const MatrixF32 x = gaussian(4, 4, 1), y = gaussian(4, 4, 2, 1.0f);
    // The 4 x 4 case whose direction matrix once wrapped to a short buffer.
    EXPECT_EQ(message(sliced_wasserstein(x, y, std::size_t{1} << 62, 0)),
              "cannot allocate 73786976294838206464 bytes for the projection directions (sliced_wasserstein)");
    EXPECT_EQ(message(sliced_wasserstein(x, y, kMax, 0)),
              "cannot allocate 295147905179352825840 bytes for the projection directions (sliced_wasserstein)");
    // Directions that fit, projections that do not: 2^24 directions of one
    // component over 2000 + 2000 rows.
    const MatrixF32 a = gaussian(2000, 1, 3), b = gaussian(2000, 1, 4);
    const std::size_t P = std::size_t{1} << 24;
    const ByteCount want = ByteCount{P} * 4 + ByteCount{P / 8 + 1} * 8 * 8 + ByteCount{P} * 4000 * 8;
    EXPECT_EQ(message(sliced_wasserstein(a, b, P, 0)),
              "cannot allocate " + to_decimal(want) + " bytes for the projection buffers (sliced_wasserstein)");
    // Every projection path refuses before choosing its kernel.
    for (SimdPath p : {SimdPath::Portable, SimdPath::Avx2, SimdPath::Avx512})
        EXPECT_EQ(wasserstein_detail::sliced_wasserstein_on(p, x, y, kMax, 0).error().kind, ErrorKind::OutOfMemory);
    // The helpers that cannot return an error throw instead of wrapping.
    EXPECT_THROW(wasserstein_detail::draw_directions(std::size_t{1} << 62, 4, 0), std::bad_alloc);
    std::vector<float> w(4, 0.5f);
    EXPECT_THROW(wasserstein_detail::pack_directions(w.data(), kMax, 4, 8), std::bad_alloc);
    // Ordinary settings are unaffected.
    EXPECT_TRUE(sliced_wasserstein(x, y, 64, 0).ok());
}

TEST(AllocSize, KMeansOnRowsWithoutColumns) {
    // k <= n holds, but n rows of nothing let k reach the distance buffers.
    const std::size_t n = std::size_t{1} << 60, k = std::size_t{1} << 59;
    EXPECT_EQ(message(kmeans(empty_rows(n), k, 10, 0, 1e-4f)),
              "cannot allocate " + to_decimal(ByteCount{k} * 256 * 4 + ByteCount{k} * 4) +
                  " bytes for the distance buffers (kmeans)");
    // One cluster: the per-row state alone is refused, without first walking
    // 2^60 rows for non-finite values.
    EXPECT_EQ(message(kmeans(empty_rows(n), 1, 10, 0, 1e-4f)),
              "cannot allocate " + to_decimal(ByteCount{n} * 16) + " bytes for the per-row buffers (kmeans)");
    // k > n still reports the configuration first.
    EXPECT_EQ(message(kmeans(empty_rows(3), kMax, 10, 0, 1e-4f)),
              "invalid configuration: kmeans: k=18446744073709551615 exceeds sample count n=3");
    // The nearest-centroid pass over absurd centroids throws rather than wrapping.
    const MatrixF32 data = gaussian(8, 0, 5);
    EXPECT_THROW(assign_clusters(data, empty_rows(std::size_t{1} << 62)), std::bad_alloc);
    // The query detector passes the error on.
    QueryDriftDetector q;
    q.k = k;
    EXPECT_EQ(q.detect(empty_rows(n), empty_rows(n)).error().kind, ErrorKind::OutOfMemory);
}

TEST(AllocSize, MmdOnRowsWithoutColumns) {
    const std::size_t n = std::size_t{1} << 61;
    const ByteCount want = ByteCount{n} * 8 * 2 + 0;
    EXPECT_EQ(message(mmd_rbf(empty_rows(n), empty_rows(n), Bandwidth::median_heuristic(), true)),
              "cannot allocate " + to_decimal(want) + " bytes for the packed samples (mmd_rbf)");
    EmbeddingDriftDetector det;
    EXPECT_EQ(message(det.detect(empty_rows(n), empty_rows(n))),
              "cannot allocate " + to_decimal(want) + " bytes for the packed samples (mmd_rbf)");
    // Small samples without columns still score.
    EXPECT_EQ(mmd_rbf(empty_rows(5), empty_rows(7), Bandwidth::median_heuristic(), true).value(), 0.0);
}

TEST(AllocSize, PsiAndCalibrationBinsAreBoundedByTheData) {
    const std::vector<double> base = {1, 2, 3, 4}, cur = {2, 3};
    // A bin count beyond the baseline is refused before any table exists.
    EXPECT_EQ(message(psi(base, cur, kMax, 1e-4)),
              "insufficient samples: need at least 18446744073709551615, got 4 (psi(baseline))");
    // The data detector judges such columns by KS alone.
    DataDriftDetector dd;
    dd.n_bins = kMax;
    const MatrixF64 b(4, 1, {1, 2, 3, 4}), c(2, 1, {2.5, 3.5});
    const auto r = dd.detect(b, c);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().score, ks_two_sample(base, std::vector<double>{2.5, 3.5}).value());
    // Calibration with one bin per representable probability keeps only occupied bins.
    const std::vector<double> s = {0.25, 0.5, 0.75};
    const std::vector<std::uint8_t> y = {1, 0, 1};
    const double third = 1.0 / 3.0;
    EXPECT_EQ(expected_calibration_error(s, y, kMax).value(),
              ((0.0 + std::fabs(0.25 - 1.0) * third) + std::fabs(0.5 - 0.0) * third) + std::fabs(0.75 - 1.0) * third);
}

TEST(AllocSize, SnapshotDimsThatClaimMoreThanTheData) {
    const std::string pre = "{\"captured_at\":1,\"embeddings\":";
    auto err = [&](const std::string& m) {
        auto r = BaselineSnapshot::from_json(pre + m + "}");
        return r.index() == 1 ? std::get<std::string>(r) : "<no error>";
    };
    // Products that wrap 64 bits to a small count are still a mismatch.
    EXPECT_EQ(err("{\"v\":1,\"dim\":[18446744073709551615,2],\"data\":[1]}"),
              "data and dimension must match in size at line 1 column 79");
    EXPECT_EQ(err("{\"v\":1,\"dim\":[9223372036854775809,2],\"data\":[1,2]}"),
              "data and dimension must match in size at line 1 column 80");
    EXPECT_EQ(err("[1,[4294967296,4294967296],[]]"), "data and dimension must match in size at line 1 column 60");
    // A huge claim with a short list reserves by the text, not by the claim.
    EXPECT_EQ(err("{\"v\":1,\"dim\":[1000000000000,1000000],\"data\":[1,2,3]}"),
              "data and dimension must match in size at line 1 column 82");
    EXPECT_EQ(err("{\"v\":1,\"dim\":[18446744073709551616,1],\"data\":[]}"),
              "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 64");
    // Zero columns hold no data whatever the row count, and round-trip.
    auto r = BaselineSnapshot::from_json(pre + "{\"v\":1,\"dim\":[18446744073709551615,0],\"data\":[]}}");
    ASSERT_EQ(r.index(), 0u);
    const auto& m = *std::get<BaselineSnapshot>(r).embeddings;
    EXPECT_EQ(m.rows, kMax);
    EXPECT_EQ(m.cols, 0u);
    EXPECT_NE(std::get<BaselineSnapshot>(r).to_json().find("\"dim\":[18446744073709551615,0]"), std::string::npos);
}

}  // namespace
}  // namespace morvanta
