// The combined (maxT) permutation test: exact p-values on scripted parts, which
// parts are left out, where the sequential test stops, and bit-identical results
// for any worker count on the real forms.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <map>

#include "cancel.hpp"
#include "permutation/combined.hpp"
#include "permutation/masked_sums.hpp"
#include "permutation/runner.hpp"
#include "permutation/sliced_runs.hpp"
#include "pool.hpp"
#include "simd.hpp"
#include "stats/ks.hpp"
#include "stats/psi.hpp"
#include "stats/rng.hpp"
#include "stats/wasserstein.hpp"
#include "stats/wasserstein_kernels.hpp"
#include "test_support.hpp"

namespace morvanta::permutation {
namespace {

using testkit::same_bits;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Parts scripted per split: pilot(p, j) on the pilot stream, main(p, j) on the
// test's own stream, `observed` for the given split. Counts the main splits it
// was asked for, to see how far a stopped test ran.
class Scripted final : public detail::Form {
public:
    using Fn = std::function<double(std::size_t, std::size_t)>;
    Scripted(std::uint64_t seed, std::vector<double> observed, Fn pilot, Fn main, std::size_t unit = 1)
        : pilot_stream_(pilot_seed(seed)),
          obs_(std::move(observed)),
          pilot_(std::move(pilot)),
          main_(std::move(main)),
          unit_(unit) {}
    std::size_t parts() const noexcept override { return obs_.size(); }
    std::string part_name(std::size_t j) const override { return "part" + std::to_string(j); }
    std::size_t unit() const noexcept override { return unit_; }
    std::unique_ptr<Scratch> scratch() const override { return std::make_unique<Scratch>(); }
    void eval(Scratch&, const detail::Splits& sp, double* out) const override {
        const std::size_t J = parts();
        EXPECT_LE(sp.count, unit_);
        for (std::size_t q = 0; q < sp.count; ++q)
            for (std::size_t j = 0; j < J; ++j) {
                const std::size_t p = sp.first + q;
                out[q * J + j] = sp.given ? obs_[j] : sp.stream == pilot_stream_ ? pilot_(p, j) : main_(p, j);
            }
        if (!sp.given && sp.stream != pilot_stream_) main_calls += sp.count;
    }
    double combine(const double* parts) const noexcept override { return parts[0]; }
    mutable std::atomic<std::size_t> main_calls{0};

private:
    std::uint64_t pilot_stream_;
    std::vector<double> obs_;
    Fn pilot_, main_;
    std::size_t unit_;
};

// Part 0: pilot cycles 1..4 (mean 2.5, sd sqrt(1.25)), main p % 6, observed 5, so
// permutation p reaches the observed maxT exactly when p % 6 == 5 (same bits).
// Part 1: pilot 10, 30 (mean 20, sd 10), main 20 + 5 (p % 5), observed 20: z >= 0 always.
// Part 2: a constant pilot, left out.
Scripted three_parts(std::uint64_t seed, std::size_t unit = 1) {
    return Scripted(
        seed, {5.0, 20.0, 8.0},
        [](std::size_t p, std::size_t j) { return j == 0   ? double(1 + p % 4)
                                                  : j == 1 ? (p % 2 ? 30.0 : 10.0)
                                                           : 7.0; },
        [](std::size_t p, std::size_t j) {
            return j == 0 ? double(p % 6) : j == 1 ? 20.0 + 5.0 * double(p % 5) : double(p);
        },
        unit);
}

CombinedOptions options(std::size_t b, std::size_t stop_after, std::uint64_t seed = 4) {
    return CombinedOptions{b, seed, 200, stop_after};
}

class CombinedTestSuite : public ::testing::Test {
protected:
    void TearDown() override { pool_set_threads(0); }
};

TEST_F(CombinedTestSuite, FullRunCountsEveryPermutationByTheDocumentedFormulas) {
    const Scripted f = three_parts(4);
    auto r = detail::combined_run(f, options(50, 0));
    ASSERT_TRUE(r.ok());
    const CombinedTest& t = r.value();
    EXPECT_EQ(t.parts, (std::vector<std::string>{"part0", "part1", "part2"}));
    EXPECT_EQ(t.mean, (std::vector<double>{2.5, 20.0, 7.0}));
    EXPECT_EQ(t.sd, (std::vector<double>{std::sqrt(1.25), 10.0, 0.0}));
    EXPECT_EQ(t.excluded, (std::vector<std::size_t>{2}));
    EXPECT_EQ(t.statistic, 2.5 / std::sqrt(1.25));
    // p % 6 == 5 for p < 50: 8 permutations, each tying the observed maxT.
    EXPECT_EQ(t.p_value, 9.0 / 51.0);
    EXPECT_EQ(t.p_raw[0], 9.0 / 51.0);
    EXPECT_EQ(t.p_raw[1], 1.0);
    EXPECT_EQ(t.p_raw[2], 43.0 / 51.0);  // p >= 8: raw p-values are kept for a part left out of maxT
    EXPECT_EQ(t.p_adjusted[0], 9.0 / 51.0);
    EXPECT_EQ(t.p_adjusted[1], 1.0);
    EXPECT_TRUE(std::isnan(t.p_adjusted[2]));
    EXPECT_EQ(t.permutations_run, 50u);
    EXPECT_FALSE(t.stopped);
    EXPECT_EQ(f.main_calls.load(), 50u);
}

// The h-th exceedance stops the test, also past a batch boundary; the per-part
// p-values are then those of a full run over the permutations actually run.
TEST_F(CombinedTestSuite, SequentialTestStopsAtTheHthExceedance) {
    struct Case {
        std::size_t b, h, run;
        bool stopped;
        double p;
        std::size_t main_calls;
    };
    const Case cases[] = {
        {50, 3, 18, true, 3.0 / 18.0, 50},         // 5, 11, 17: inside the first batch
        {200, 12, 72, true, 12.0 / 72.0, 128},     // the 12th at 71, in the second batch, which runs whole
        {200, 40, 200, false, 34.0 / 201.0, 200},  // only 33 exceedances: (1 + c) / (1 + B)
        {60, 10, 60, true, 10.0 / 60.0, 60},       // the 10th at 59, the last permutation
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("B " + std::to_string(c.b) + " h " + std::to_string(c.h));
        const Scripted f = three_parts(4);
        auto r = detail::combined_run(f, options(c.b, c.h));
        ASSERT_TRUE(r.ok());
        const CombinedTest& t = r.value();
        EXPECT_EQ(t.permutations_run, c.run);
        EXPECT_EQ(t.stopped, c.stopped);
        EXPECT_EQ(t.p_value, c.p);
        EXPECT_EQ(f.main_calls.load(), c.main_calls);
        const Scripted g = three_parts(4);
        auto full = detail::combined_run(g, options(c.run, 0));
        ASSERT_TRUE(full.ok());
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_TRUE(same_bits(t.p_raw[j], full.value().p_raw[j])) << j;
            EXPECT_TRUE(same_bits(t.p_adjusted[j], full.value().p_adjusted[j])) << j;
        }
    }
}

TEST_F(CombinedTestSuite, BatchesOfAnyUnitAndWorkerCountGiveTheSameResult) {
    const Scripted ref_form = three_parts(9);
    auto ref = detail::combined_run(ref_form, options(300, 30, 9));
    ASSERT_TRUE(ref.ok());
    for (std::size_t threads : {1u, 2u, 7u})
        for (std::size_t unit : {1u, 5u, 64u}) {
            pool_set_threads(threads);
            const Scripted f = three_parts(9, unit);
            auto r = detail::combined_run(f, options(300, 30, 9));
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.value().p_value, ref.value().p_value) << threads << " " << unit;
            EXPECT_EQ(r.value().permutations_run, ref.value().permutations_run);
        }
}

TEST_F(CombinedTestSuite, NanObservationsAndNanPermutationsAreLeftOutNotCounted) {
    // Part 0 observed NaN: excluded, no p-values. Part 1 has NaN on every third
    // permutation: those never reach the observed maxT through part 1.
    const Scripted f(
        1, {kNaN, 40.0}, [](std::size_t p, std::size_t) { return p % 2 ? 30.0 : 10.0; },
        [](std::size_t p, std::size_t j) { return j == 0       ? 1.0
                                                  : p % 3 == 0 ? kNaN
                                                               : 40.0; });
    auto r = detail::combined_run(f, CombinedOptions{30, 1, 200, 0});
    ASSERT_TRUE(r.ok());
    const CombinedTest& t = r.value();
    EXPECT_EQ(t.excluded, (std::vector<std::size_t>{0}));
    EXPECT_EQ(t.statistic, 2.0);
    EXPECT_EQ(t.p_value, 21.0 / 31.0);
    EXPECT_TRUE(std::isnan(t.p_raw[0]) && std::isnan(t.p_adjusted[0]));
    EXPECT_EQ(t.p_raw[1], 21.0 / 31.0);
    EXPECT_EQ(t.p_adjusted[1], 21.0 / 31.0);
}

TEST_F(CombinedTestSuite, NothingToTestWhenEveryPartIsLeftOut) {
    const Scripted f(
        1, {3.0, kNaN}, [](std::size_t, std::size_t) { return 3.0; },
        [](std::size_t, std::size_t) -> double {
            ADD_FAILURE() << "no permutation should run";
            return 0.0;
        });
    auto r = detail::combined_run(f, CombinedOptions{99, 1, 50, 20});
    ASSERT_TRUE(r.ok());
    const CombinedTest& t = r.value();
    EXPECT_EQ(t.excluded, (std::vector<std::size_t>{0, 1}));
    EXPECT_TRUE(std::isnan(t.statistic));
    EXPECT_EQ(t.p_value, 1.0);
    EXPECT_EQ(t.permutations_run, 0u);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_TRUE(std::isnan(t.p_raw[j]) && std::isnan(t.p_adjusted[j]));
}

TEST_F(CombinedTestSuite, RefusesTooFewPermutationsOrPilotsAndStopsWhenCancelled) {
    const Scripted f = three_parts(1);
    EXPECT_EQ(detail::combined_run(f, CombinedOptions{0, 1, 200, 20}).error().message(),
              "invalid configuration: combined test: n_permutations must be >= 1");
    EXPECT_EQ(detail::combined_run(f, CombinedOptions{10, 1, 1, 20}).error().message(),
              "invalid configuration: combined test: pilot must be >= 2, got 1");
    CancelSource source;
    source.cancel();
    const CancelScope scope(&source);
    auto r = detail::combined_run(f, options(999, 0));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
}

// ---------------------------------------------------------------- real forms

std::vector<double> normals(std::size_t n, std::uint64_t seed, double shift) {
    Rng rng(seed);
    std::vector<double> v(n);
    for (double& x : v) x = rng.standard_normal() + shift;
    return v;
}

MatrixF64 table(std::size_t rows, std::size_t cols, std::uint64_t seed, double shift) {
    MatrixF64 t(rows, cols);
    const auto v = normals(rows * cols, seed, shift);
    for (std::size_t i = 0; i < v.size(); ++i) t.data[i] = std::round(v[i] * 4.0) / 4.0;  // ties
    return t;
}

std::vector<double> column(const MatrixF64& t, std::size_t c) {
    std::vector<double> v(t.rows);
    for (std::size_t i = 0; i < t.rows; ++i) v[i] = t.view().at(i, c);
    return v;
}

void expect_same(const CombinedTest& a, const CombinedTest& b) {
    EXPECT_EQ(a.parts, b.parts);
    EXPECT_EQ(testkit::bytes(a.observed), testkit::bytes(b.observed));
    EXPECT_EQ(testkit::bytes(a.mean), testkit::bytes(b.mean));
    EXPECT_EQ(testkit::bytes(a.sd), testkit::bytes(b.sd));
    EXPECT_EQ(testkit::bytes(a.p_raw), testkit::bytes(b.p_raw));
    EXPECT_EQ(testkit::bytes(a.p_adjusted), testkit::bytes(b.p_adjusted));
    EXPECT_EQ(a.excluded, b.excluded);
    EXPECT_TRUE(same_bits(a.statistic, b.statistic));
    EXPECT_TRUE(same_bits(a.p_value, b.p_value));
    EXPECT_EQ(a.permutations_run, b.permutations_run);
    EXPECT_EQ(a.stopped, b.stopped);
}

struct Windows {
    MatrixF64 xa = table(150, 5, 1, 0.0), xb = table(120, 5, 2, 0.0);
    MatrixF32 ea = testkit::gaussian(70, 5, 3), eb = testkit::gaussian(60, 5, 4, 0.15f);
    std::vector<double> la = normals(90, 5, 0.0), lb = normals(80, 6, 0.1);
    std::vector<double> ca = normals(100, 7, 0.0), cb = normals(90, 8, 0.0);
    std::vector<std::uint8_t> fa = std::vector<std::uint8_t>(100), fb = std::vector<std::uint8_t>(90);
    Windows() {
        xb.data[7] = kNaN;  // a missing cell sorts last
        for (auto* v : {&ca, &cb})
            for (double& x : *v) x = 1.0 / (1.0 + std::exp(-x));
        for (std::size_t i = 0; i < fa.size(); ++i) fa[i] = ca[i] > 0.4;
        for (std::size_t i = 0; i < fb.size(); ++i) fb[i] = i % 2;
    }
    std::vector<Result<CombinedTest>> all(const CombinedOptions& o) const {
        std::vector<Result<CombinedTest>> out;
        out.push_back(combined_data_test(DataDriftDetector{0.1, 6, 1e-4}, xa.view(), xb.view(), o));
        out.push_back(combined_embedding_test(EmbeddingDriftDetector{0.05, 8, 3}, ea.view(), eb.view(), o));
        out.push_back(
            combined_response_embeddings_test(ResponseDriftDetector{0.2, 8, 1}, la, lb, ea.view(), eb.view(), o));
        out.push_back(combined_confidence_correctness_test(ConfidenceDriftDetector{0.2, 7}, ca, fa, cb, fb, o));
        out.push_back(combined_query_test(QueryDriftDetector{0.1, 4}, ea.view(), eb.view(), o));
        return out;
    }
};

TEST_F(CombinedTestSuite, RealFormsAreBitIdenticalFor1And2And7Threads) {
    const Windows w;
    for (std::size_t stop : {0u, 20u}) {
        const CombinedOptions o{150, 7, 70, stop};
        pool_set_threads(1);
        const auto ref = w.all(o);
        for (std::size_t threads : {2u, 7u}) {
            pool_set_threads(threads);
            const auto got = w.all(o);
            for (std::size_t i = 0; i < ref.size(); ++i) {
                SCOPED_TRACE("form " + std::to_string(i) + " threads " + std::to_string(threads) + " stop " +
                             std::to_string(stop));
                ASSERT_TRUE(ref[i].ok() && got[i].ok());
                expect_same(ref[i].value(), got[i].value());
            }
        }
    }
}

// The observed parts are the detectors' own statistics of the given split.
TEST_F(CombinedTestSuite, ObservedPartsAreTheDetectorsKernels) {
    const Windows w;
    const CombinedOptions o{9, 1, 10, 0};
    auto data = combined_data_test(DataDriftDetector{0.1, 6, 1e-4}, w.xa.view(), w.xb.view(), o);
    ASSERT_TRUE(data.ok());
    ASSERT_EQ(data.value().parts.size(), 10u);
    for (std::size_t c = 0; c < 5; ++c) {
        EXPECT_EQ(data.value().parts[2 * c], "ks[" + std::to_string(c) + "]");
        EXPECT_EQ(data.value().parts[2 * c + 1], "psi[" + std::to_string(c) + "]");
        EXPECT_EQ(data.value().columns[2 * c + 1], std::ptrdiff_t(c));
        EXPECT_EQ(data.value().observed[2 * c], ks_two_sample(column(w.xa, c), column(w.xb, c)).value());
        EXPECT_EQ(data.value().observed[2 * c + 1], psi(column(w.xa, c), column(w.xb, c), 6, 1e-4).value());
    }
    // Fewer baseline rows than bins: KS alone, as the detector.
    auto ks_only = combined_data_test(DataDriftDetector{0.1, 200, 1e-4}, w.xa.view(), w.xb.view(), o);
    ASSERT_TRUE(ks_only.ok());
    EXPECT_EQ(ks_only.value().parts, (std::vector<std::string>{"ks[0]", "ks[1]", "ks[2]", "ks[3]", "ks[4]"}));

    auto e = combined_embedding_test(EmbeddingDriftDetector{0.05, 8, 3}, w.ea.view(), w.eb.view(), o);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e.value().parts, (std::vector<std::string>{"mmd2", "sw"}));
    EXPECT_EQ(e.value().observed[1], sliced_wasserstein(w.ea.view(), w.eb.view(), 8, 3).value());
    auto r =
        combined_response_embeddings_test(ResponseDriftDetector{0.2, 8, 1}, w.la, w.lb, w.ea.view(), w.eb.view(), o);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().observed[0], ks_two_sample(w.la, w.lb).value());
    EXPECT_EQ(r.value().observed[1], sliced_wasserstein(w.ea.view(), w.eb.view(), 8, 1).value());
    auto c = combined_confidence_correctness_test(ConfidenceDriftDetector{0.2, 7}, w.ca, w.fa, w.cb, w.fb, o);
    ASSERT_TRUE(c.ok());
    const double ece = std::fabs(expected_calibration_error(w.cb, w.fb, 7).value() -
                                 expected_calibration_error(w.ca, w.fa, 7).value());
    EXPECT_EQ(c.value().observed[1], ece);
    EXPECT_EQ(c.value().parts, (std::vector<std::string>{"ks(conf)", "ece_delta"}));
    // The detector's errors, in its order.
    EXPECT_EQ(
        combined_confidence_correctness_test(ConfidenceDriftDetector{}, w.ca, w.fb, w.cb, w.fb, o).error().message(),
        "dimension mismatch: expected 100, got 90 (ConfidenceDriftDetector::baseline correctness)");
    EXPECT_EQ(combined_response_test(ResponseDriftDetector{}, {}, w.lb, o).error().message(),
              ks_two_sample({}, w.lb).error().message());
}

// A stopped test is the full test of the permutations it ran, and the pilot is
// its own stream: a different pilot size moves only the standardisation.
TEST_F(CombinedTestSuite, StoppedRealTestEqualsTheFullTestOfItsPermutations) {
    const MatrixF64 a = table(120, 4, 11, 0.0), b = table(100, 4, 12, 0.0);
    const DataDriftDetector det{0.1, 5, 1e-4};
    auto stopped = combined_data_test(det, a.view(), b.view(), CombinedOptions{2000, 3, 100, 10});
    ASSERT_TRUE(stopped.ok());
    ASSERT_TRUE(stopped.value().stopped);
    const std::size_t L = stopped.value().permutations_run;
    EXPECT_EQ(stopped.value().p_value, 10.0 / double(L));
    auto full = combined_data_test(det, a.view(), b.view(), CombinedOptions{L, 3, 100, 0});
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(testkit::bytes(stopped.value().p_raw), testkit::bytes(full.value().p_raw));
    EXPECT_EQ(testkit::bytes(stopped.value().p_adjusted), testkit::bytes(full.value().p_adjusted));
    // The last permutation run was the 10th exceedance: one fewer would give 9 of them.
    auto before = combined_data_test(det, a.view(), b.view(), CombinedOptions{L - 1, 3, 100, 0});
    ASSERT_TRUE(before.ok());
    EXPECT_EQ(before.value().p_value, 10.0 / double(L));  // (1 + 9) / (1 + L - 1)
    EXPECT_EQ(full.value().p_value, 11.0 / double(L + 1));
}

// ---------------------------------------------------------------- categorical columns

Matrix<std::int32_t> codes(std::size_t rows, std::size_t cols, std::vector<std::int32_t> v) {
    return Matrix<std::int32_t>(rows, cols, std::move(v));
}

// The categorical parts of one split, written out the long way: shares of the
// non-missing rows per side, the categories absent from the baseline side pooled
// in one last bin, smoothed by eps.
std::pair<double, double> reference_cat(const std::vector<std::int32_t>& pooled, const std::vector<std::uint8_t>& lab,
                                        double eps) {
    std::map<std::int32_t, std::pair<double, double>> counts;  // code -> (baseline, current)
    double mb = 0, mc = 0, miss_b = 0, miss_c = 0;
    for (std::size_t i = 0; i < pooled.size(); ++i) {
        (lab[i] ? mb : mc) += 1;
        if (pooled[i] < 0) {
            (lab[i] ? miss_b : miss_c) += 1;
            continue;
        }
        auto& c = counts[pooled[i]];
        (lab[i] ? c.first : c.second) += 1;
    }
    std::vector<double> b, c;
    double unseen = 0;
    for (const auto& [code, bc] : counts) {
        if (bc.first == 0) {
            unseen += bc.second;
        } else {
            b.push_back(bc.first);
            c.push_back(bc.second);
        }
    }
    if (unseen > 0) {
        b.push_back(0);
        c.push_back(unseen);
    }
    const double nb = mb - miss_b, nc = mc - miss_c, K = double(b.size());
    double s = 0;
    for (std::size_t k = 0; k < b.size(); ++k) {
        const double p = (b[k] + eps) / (nb + K * eps), q = (c[k] + eps) / (nc + K * eps);
        s += std::log(q / p) * (q - p);
    }
    return {s, std::fabs(miss_c / mc - miss_b / mb)};
}

TEST_F(CombinedTestSuite, CategoricalPartsByHand) {
    // Baseline: a a b (missing); current: a b b c, c unseen in the baseline.
    const auto bk = codes(4, 1, {0, 0, 1, -1}), ck = codes(4, 1, {0, 1, 1, 2});
    const MatrixF64 bx(4, 0), cx(4, 0);
    const DataDriftDetector det{0.1, 10, 1e-4};
    auto r =
        combined_data_categorical_test(det, bx.view(), cx.view(), bk.view(), ck.view(), CombinedOptions{5, 1, 10, 0});
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value().parts, (std::vector<std::string>{"psi_cat[0]", "missing[0]"}));
    EXPECT_EQ(r.value().columns, (std::vector<std::ptrdiff_t>{0, 0}));
    // Bins a, b, unseen: baseline 2 1 0 of 3, current 1 2 1 of 4.
    const double e = 1e-4;
    const double p[3] = {(2 + e) / (3 + 3 * e), (1 + e) / (3 + 3 * e), e / (3 + 3 * e)};
    const double q[3] = {(1 + e) / (4 + 3 * e), (2 + e) / (4 + 3 * e), (1 + e) / (4 + 3 * e)};
    double want = 0;
    for (int k = 0; k < 3; ++k) want += std::log(q[k] / p[k]) * (q[k] - p[k]);
    EXPECT_NEAR(r.value().observed[0], want, 1e-15);
    EXPECT_GT(want, 1.0);  // the smoothed unseen share dominates: ln((1/4) / (eps/3)) * 1/4
    EXPECT_EQ(r.value().observed[1], 0.25);

    // Two unseen categories pool into one bin: c, d unseen gives the value of c, c.
    auto two = combined_data_categorical_test(det, bx.view(), cx.view(), codes(4, 1, {0, 0, 1, -1}).view(),
                                              codes(4, 1, {0, 1, 2, 3}).view(), CombinedOptions{5, 1, 10, 0});
    auto one = combined_data_categorical_test(det, bx.view(), cx.view(), codes(4, 1, {0, 0, 1, -1}).view(),
                                              codes(4, 1, {0, 1, 2, 2}).view(), CombinedOptions{5, 1, 10, 0});
    ASSERT_TRUE(two.ok() && one.ok());
    EXPECT_TRUE(same_bits(two.value().observed[0], one.value().observed[0]));
    // Equal shares score 0; a side with no category at all gives NaN (the part is left out).
    auto same = combined_data_categorical_test(det, bx.view(), cx.view(), codes(4, 1, {0, 1, 0, 1}).view(),
                                               codes(4, 1, {1, 0, 1, 0}).view(), CombinedOptions{5, 1, 10, 0});
    ASSERT_TRUE(same.ok());
    EXPECT_EQ(same.value().observed[0], 0.0);
    auto empty = combined_data_categorical_test(det, bx.view(), cx.view(), codes(4, 1, {-1, -1, -1, -1}).view(),
                                                codes(4, 1, {1, 0, 1, 0}).view(), CombinedOptions{5, 1, 10, 0});
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(std::isnan(empty.value().observed[0]));
    EXPECT_EQ(empty.value().observed[1], 1.0);
}

TEST_F(CombinedTestSuite, CategoricalPermutationsRecountTheUnseenBinPerSplit) {
    // Rare categories (codes 5..7 seen a handful of times) make the unseen bin
    // differ from split to split; every permutation must match the long-way
    // reference on that permutation's labels.
    const std::size_t m = 60, n = 50;
    std::vector<std::int32_t> pooled(m + n);
    Rng rng(99);
    for (auto& v : pooled) {
        const std::uint64_t u = rng.uniform_index(40);
        v = u < 3 ? -1 : u < 37 ? std::int32_t(u % 5) : std::int32_t(5 + u % 3);
    }
    const auto bk = codes(m, 1, std::vector<std::int32_t>(pooled.begin(), pooled.begin() + m));
    const auto ck = codes(n, 1, std::vector<std::int32_t>(pooled.begin() + m, pooled.end()));
    const MatrixF64 bx = table(m, 2, 5, 0.0), cx = table(n, 2, 6, 0.3);
    const DataDriftDetector det{0.1, 5, 1e-4};
    auto form = detail::data_categorical_form(det, bx.view(), cx.view(), bk.view(), ck.view());
    ASSERT_TRUE(form.ok());
    const detail::Form& f = *form.value();
    ASSERT_EQ(f.parts(), 6u);
    EXPECT_EQ(f.part_name(4), "psi_cat[2]");
    EXPECT_EQ(f.part_name(5), "missing[2]");
    auto s = f.scratch();
    std::vector<double> out(6);
    for (std::uint64_t p = 0; p < 40; ++p) {
        f.eval(*s, detail::Splits{false, 31, p, 1}, out.data());
        const auto lab = split_labels(m + n, m, 31, p);
        const auto [psi_ref, miss_ref] = reference_cat(pooled, lab, 1e-4);
        EXPECT_NEAR(out[4], psi_ref, 1e-12 * (1 + psi_ref)) << "permutation " << p;
        EXPECT_EQ(out[5], miss_ref) << "permutation " << p;
    }
    // The numeric parts are those of the numeric form on the same split.
    auto plain = detail::data_form(det, bx.view(), cx.view());
    auto ps = plain.value()->scratch();
    std::vector<double> num(4);
    plain.value()->eval(*ps, detail::Splits{false, 31, 3, 1}, num.data());
    f.eval(*s, detail::Splits{false, 31, 3, 1}, out.data());
    for (int j = 0; j < 4; ++j) EXPECT_TRUE(same_bits(num[j], out[j]));
}

TEST_F(CombinedTestSuite, CategoricalTestIsBitIdenticalForAnyThreadCountAndRefusesBadCodes) {
    const std::size_t m = 300, n = 250;
    std::vector<std::int32_t> b(m * 2), c(n * 2);
    Rng rng(5);
    for (auto& v : b) v = std::int32_t(rng.uniform_index(6)) - 1;
    for (auto& v : c) v = std::int32_t(rng.uniform_index(7)) - 1;
    const auto bk = codes(m, 2, b), ck = codes(n, 2, c);
    const MatrixF64 bx = table(m, 3, 7, 0.0), cx = table(n, 3, 8, 0.0);
    const DataDriftDetector det{0.1, 6, 1e-4};
    for (std::size_t stop : {0u, 20u}) {
        const CombinedOptions o{300, 11, 70, stop};
        pool_set_threads(1);
        auto ref = combined_data_categorical_test(det, bx.view(), cx.view(), bk.view(), ck.view(), o);
        ASSERT_TRUE(ref.ok());
        EXPECT_EQ(ref.value().parts.size(), 10u);
        for (std::size_t threads : {2u, 7u}) {
            pool_set_threads(threads);
            auto got = combined_data_categorical_test(det, bx.view(), cx.view(), bk.view(), ck.view(), o);
            ASSERT_TRUE(got.ok());
            expect_same(ref.value(), got.value());
        }
    }
    // Codes below -1, tables of other heights, codes past the pooled rows.
    const CombinedOptions o{200, 3, 50, 0};
    const auto bad = codes(m, 2, std::vector<std::int32_t>(m * 2, -2));
    EXPECT_EQ(
        combined_data_categorical_test(det, bx.view(), cx.view(), bad.view(), ck.view(), o).error().message(),
        "invalid configuration: categorical data test: column 0 holds code -2; codes are >= 0, or -1 for missing");
    const auto wide = codes(n, 1, std::vector<std::int32_t>(n, 0));
    EXPECT_FALSE(combined_data_categorical_test(det, bx.view(), cx.view(), bk.view(), wide.view(), o).ok());
    const auto huge = codes(m, 2, std::vector<std::int32_t>(m * 2, 100000));
    EXPECT_FALSE(combined_data_categorical_test(det, bx.view(), cx.view(), huge.view(), ck.view(), o).ok());
}

// ---------------------------------------------------------------- permutation kernels

// The masked kernel sums select lanes by row bits; every instruction set must give
// the bits of the plain definition: eight partial sums of K(i, j) * mask(j), lane
// j % 8, combined in a fixed tree, rows in ascending order.
TEST_F(CombinedTestSuite, MaskedKernelSumsOfEveryPathEqualTheProductDefinition) {
    constexpr std::size_t N = 203, kSplits = 11;  // not a multiple of 8: tails in every row
    std::vector<double> lower(N * (N - 1) / 2);
    Rng rng(5);
    for (double& k : lower) k = std::exp(-4.0 * rng.uniform53());
    std::vector<std::vector<std::uint8_t>> labels(kSplits);
    std::vector<const std::uint8_t*> lp;
    const std::size_t stride = 64;  // bytes per split's mask, as the form pads them
    std::vector<std::uint8_t> bits(kSplits * stride, 0);
    for (std::size_t q = 0; q < kSplits; ++q) {
        labels[q] = split_labels(N, 90 + q, 17, q);
        lp.push_back(labels[q].data());
        for (std::size_t i = 0; i < N; ++i) bits[q * stride + i / 8] |= std::uint8_t(labels[q][i] << (i % 8));
    }
    std::vector<double> want(kSplits, 0.0);
    for (std::size_t q = 0; q < kSplits; ++q)
        for (std::size_t i = 1; i < N; ++i) {
            if (!labels[q][i]) continue;
            double lane[8] = {};
            for (std::size_t j = 0; j < i; ++j) lane[j % 8] += lower[i * (i - 1) / 2 + j] * double(labels[q][j]);
            want[q] += ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
        }
    const std::pair<SimdPath, detail::MaskedSumsFn> paths[] = {{SimdPath::Portable, detail::masked_sums_portable},
                                                               {SimdPath::Avx2, detail::masked_sums_avx2},
                                                               {SimdPath::Avx512, detail::masked_sums_avx512}};
    for (const auto& [path, fn] : paths) {
        if (!simd_supported(path)) continue;
        SCOPED_TRACE(simd_name(path));
        std::vector<double> got(kSplits, 0.0);
        // In row blocks, as the form calls it.
        for (std::size_t i0 = 1; i0 < N; i0 += 16)
            fn(lower.data(), i0, std::min(N, i0 + 16), lp.data(), bits.data(), stride, kSplits, got.data());
        EXPECT_EQ(testkit::bytes(got), testkit::bytes(want));
    }
}

// The sliced walk of eight splits at once, on every instruction set, gives each
// split the bits of w1_sorted on its two sorted sides: ties (zero gaps) and lanes
// that repeat a split included.
TEST_F(CombinedTestSuite, SlicedWalkOfEveryPathEqualsTheSortedSidesDistance) {
    for (const auto& [m, n] : {std::pair<std::size_t, std::size_t>{37, 23}, {5, 60}, {101, 2}}) {
        const std::size_t total = m + n;
        Rng rng(m);
        std::vector<double> values(total);
        for (double& v : values) v = std::round(8.0 * rng.uniform53()) / 4.0;  // many ties
        std::sort(values.begin(), values.end());
        std::vector<std::uint32_t> order(total);
        for (std::size_t r = 0; r < total; ++r) order[r] = static_cast<std::uint32_t>((r * 7919) % total);
        std::vector<double> gaps(total, 0.0), shares(total + 2);
        for (std::size_t k = 0; k + 1 < total; ++k)
            if (values[k + 1] != values[k]) gaps[k] = values[k + 1] - values[k];
        for (std::size_t i = 0; i <= m; ++i) shares[i] = double(i) / double(m);
        for (std::size_t j = 0; j <= n; ++j) shares[m + 1 + j] = double(j) / double(n);
        std::vector<std::vector<std::uint8_t>> labels;
        for (std::size_t q = 0; q < 6; ++q) labels.push_back(split_labels(total, m, 3, q));
        labels.push_back(labels[5]);
        labels.push_back(labels[5]);
        std::vector<std::uint8_t> lanes(total, 0);
        for (std::size_t q = 0; q < 8; ++q)
            for (std::size_t r = 0; r < total; ++r) lanes[r] |= std::uint8_t(labels[q][r] << q);
        double want[8];
        for (std::size_t q = 0; q < 8; ++q) {
            std::vector<double> a, b;
            for (std::size_t k = 0; k < total; ++k) (labels[q][order[k]] ? a : b).push_back(values[k]);
            want[q] = wasserstein_detail::w1_sorted(a, b);
        }
        const std::pair<SimdPath, detail::SlicedRunsFn> paths[] = {{SimdPath::Portable, detail::sliced_runs_portable},
                                                                   {SimdPath::Avx2, detail::sliced_runs_avx2},
                                                                   {SimdPath::Avx512, detail::sliced_runs_avx512}};
        for (const auto& [path, fn] : paths) {
            if (!simd_supported(path)) continue;
            SCOPED_TRACE(simd_name(path));
            double got[8];
            fn(total, order.data(), gaps.data(), shares.data(), m, lanes.data(), got);
            for (std::size_t q = 0; q < 8; ++q) EXPECT_TRUE(same_bits(got[q], want[q])) << q << ": " << got[q];
        }
    }
}

// Each permuted split's sliced distance is the detector's own on the dealt rows,
// bit for bit: unequal and equal sides, tied projections included.
TEST_F(CombinedTestSuite, PermutedSlicedDistancesAreTheDetectorsOnTheDealtRows) {
    MatrixF32 ties = testkit::gaussian(40, 3, 9);
    for (float& v : ties.data) v = std::round(v);  // many equal projections
    const MatrixF32 a = testkit::gaussian(37, 6, 1), b = testkit::gaussian(23, 6, 2, 0.2f),
                    c = testkit::gaussian(30, 6, 3);
    struct Case {
        ViewF32 x, y;
    };
    const ViewF32 tv = ties.view();
    const ViewF32 t1{tv.data, 25, tv.cols, tv.stride}, t2{tv.data + 25 * tv.stride, 15, tv.cols, tv.stride};
    for (const Case& k : {Case{a.view(), b.view()}, Case{a.view(), c.view()}, Case{c.view(), c.view()}, Case{t1, t2}}) {
        const std::size_t m = k.x.rows, n = k.y.rows, total = m + n;
        auto form = detail::embedding_form(EmbeddingDriftDetector{0.05, 9, 4}, k.x, k.y);
        ASSERT_TRUE(form.ok());
        auto scratch = form.value()->scratch();
        constexpr std::size_t kCount = 13;
        std::vector<double> parts(2 * kCount);
        form.value()->eval(*scratch, detail::Splits{false, 21, 5, kCount}, parts.data());
        for (std::size_t q = 0; q < kCount; ++q) {
            const auto lab = split_labels(total, m, 21, 5 + q);
            MatrixF32 xs(m, k.x.cols), ys(n, k.x.cols);
            std::size_t ix = 0, iy = 0;
            for (std::size_t r = 0; r < total; ++r) {
                const float* row = r < m ? k.x.row(r) : k.y.row(r - m);
                std::copy(row, row + k.x.cols, lab[r] ? xs.row(ix++) : ys.row(iy++));
            }
            EXPECT_TRUE(same_bits(parts[2 * q + 1], sliced_wasserstein(xs.view(), ys.view(), 9, 4).value()))
                << "split " << q << " of sides " << m << "/" << n;
        }
    }
}

}  // namespace
}  // namespace morvanta::permutation
