// Parallel loops of the pool and the kernels built on them: every result is the
// same bit for bit for any thread count and equals a plain sequential reference;
// an interrupted call stops at its next cancellation point, reports Cancelled,
// and leaves the pool ready for the next call.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "cancel.hpp"
#include "detectors/detectors.hpp"
#include "pool.hpp"
#include "stats/kmeans.hpp"
#include "stats/mmd.hpp"
#include "stats/wasserstein.hpp"
#include "stats/wasserstein_kernels.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
using Clock = std::chrono::steady_clock;
constexpr std::size_t kThreadCounts[] = {1, 2, 7};

class Parallel : public ::testing::Test {
protected:
    void TearDown() override { pool_set_threads(0); }
};

double harmonic(std::size_t n) {
    return pool_parallel_sum(n,
                             [](std::size_t b, std::size_t e) {
                                 double s = 0.0;
                                 for (std::size_t i = b; i < e; ++i) s += 1.0 / double(i + 1);
                                 return s;
                             })
        .value;
}

TEST_F(Parallel, ForVisitsEveryIndexOnceInRangesOfTheGrain) {
    for (std::size_t threads : kThreadCounts) {
        pool_set_threads(threads);
        EXPECT_EQ(pool_threads(), threads);
        for (std::size_t count : {0, 1, 2, 5, 64, 1001})
            for (std::size_t grain : {0, 1, 3, 64, 5000}) {
                std::vector<std::atomic<int>> hits(count);
                std::mutex mu;
                std::set<std::pair<std::size_t, std::size_t>> ranges;
                const PoolRun run = pool_parallel_for(count, grain, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) ++hits[i];
                    std::lock_guard<std::mutex> lk(mu);
                    ranges.insert({b, e});
                });
                ASSERT_TRUE(run.ok());
                for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i], 1) << count << " " << grain << " " << i;
                // Ranges are cut at multiples of the grain, whatever the thread count.
                const std::size_t g = grain == 0 ? 1 : grain;
                EXPECT_EQ(ranges.size(), count == 0 ? 0 : (count + g - 1) / g);
                for (auto [b, e] : ranges) EXPECT_TRUE(b % g == 0 && e == std::min(count, b + g));
            }
    }
}

TEST_F(Parallel, ForReportsALeafExceptionAndStaysUsable) {
    for (std::size_t threads : kThreadCounts) {
        pool_set_threads(threads);
        const double want = harmonic(5000);
        const PoolRun run = pool_parallel_for(100, 1, [](std::size_t b, std::size_t) {
            if (b == 37) throw std::length_error("leaf 37");
        });
        ASSERT_TRUE(run.fault);
        EXPECT_FALSE(run.cancelled);
        EXPECT_THROW(std::rethrow_exception(run.fault), std::length_error);
        // Nested loops run on whichever thread reaches them.
        std::atomic<int> inner{0};
        EXPECT_TRUE(pool_parallel_for(8, 1, [&](std::size_t, std::size_t) {
                        EXPECT_TRUE(
                            pool_parallel_for(16, 2, [&](std::size_t b, std::size_t e) { inner += int(e - b); }).ok());
                    }).ok());
        EXPECT_EQ(inner, 8 * 16);
        EXPECT_TRUE(same_bits(harmonic(5000), want));
    }
}

// A source that says "stop" at its `at`-th poll (0: never), counting the polls.
struct CountingSource {
    CancelSource source;
    std::size_t at = 0;
    std::size_t polls = 0;
    explicit CountingSource(std::size_t stop_at) : at(stop_at) {
        source.interval = Clock::duration::zero();
        source.ctx = this;
        source.poll = [](void* c) {
            auto* self = static_cast<CountingSource*>(c);
            return ++self->polls == self->at;
        };
    }
};

TEST_F(Parallel, CancelledLoopSkipsTheRemainingLeavesAndThePoolStaysUsable) {
    for (std::size_t threads : kThreadCounts) {
        pool_set_threads(threads);
        const double want = harmonic(20000);
        CountingSource cs(1);  // the caller always runs the first leaf itself
        std::atomic<std::size_t> ran{0};
        PoolRun run;
        PoolSum sum;
        {
            const CancelScope scope(&cs.source);
            run = pool_parallel_for(1000, 1, [&](std::size_t, std::size_t) {
                ++ran;
                (void)cancelled();
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            });
            sum = pool_parallel_sum(1000, [](std::size_t, std::size_t) { return 1.0; });
        }
        EXPECT_TRUE(run.cancelled && !run.fault);
        EXPECT_TRUE(sum.cancelled);
        EXPECT_LT(ran.load(), 1000u);  // the flag stays up: later leaves never start
        EXPECT_TRUE(same_bits(harmonic(20000), want));
        EXPECT_FALSE(cancelled());  // outside the scope nothing is cancelled
    }
}

// The caller has nothing left to run but waits for a worker's long leaf: it must
// keep polling, and the worker must see the flag.
TEST_F(Parallel, WaitingCallerKeepsPollingForTheWorkersLeaves) {
    pool_set_threads(2);
    const auto caller = std::this_thread::get_id();
    const auto t0 = Clock::now();
    CancelSource src;
    src.interval = std::chrono::milliseconds(1);
    src.ctx = const_cast<Clock::time_point*>(&t0);
    src.poll = [](void* c) {
        return Clock::now() - *static_cast<Clock::time_point*>(c) > std::chrono::milliseconds(100);
    };
    std::atomic<int> worker_leaves{0};
    PoolRun run;
    {
        const CancelScope scope(&src);
        run = pool_parallel_for(64, 1, [&](std::size_t, std::size_t) {
            if (std::this_thread::get_id() == caller) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));  // never polls
                return;
            }
            ++worker_leaves;
            // Only the flag ends this (the time limit keeps a broken pool from hanging the run).
            while (!cancelled() && Clock::now() - t0 < std::chrono::seconds(10)) std::this_thread::yield();
        });
    }
    const auto took = Clock::now() - t0;
    EXPECT_TRUE(run.cancelled);
    EXPECT_GE(worker_leaves.load(), 1);
    EXPECT_LT(took, std::chrono::seconds(5));
}

// A Python thread still inside a call when the interpreter finalizes is ended in
// its poll by a forced unwind. It passes through the pool, which waits for the
// leaves other threads are running (they use the caller's stack), and the pool
// goes on serving other callers.
void* ended_in_poll(void*) {
    CancelSource src;
    src.interval = Clock::duration::zero();
    src.poll = [](void*) -> bool { pthread_exit(nullptr); };
    const CancelScope scope(&src);
    (void)pool_parallel_for(256, 1, [](std::size_t, std::size_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        (void)cancelled();
    });
    ADD_FAILURE() << "the thread should have ended in its poll";
    return nullptr;
}

TEST_F(Parallel, ThreadEndedInsideAPollLeavesThePoolWorking) {
    for (std::size_t threads : {2, 4}) {
        pool_set_threads(threads);
        const double want = harmonic(30000);
        pthread_t t;
        ASSERT_EQ(pthread_create(&t, nullptr, ended_in_poll, nullptr), 0);
        ASSERT_EQ(pthread_join(t, nullptr), 0);
        EXPECT_TRUE(same_bits(harmonic(30000), want));
    }
}

// ---------------------------------------------------------------- kernels

MatrixF64 table(std::size_t rows, std::size_t cols, unsigned seed, double shift) {
    std::mt19937 g(seed);
    std::normal_distribution<double> nd;
    MatrixF64 m(rows, cols);
    for (std::size_t i = 0; i < rows * cols; ++i) {
        const std::size_t c = i % cols;
        const double x = nd(g) + shift * double(c);
        // Ties, NaN and infinities in some columns.
        m.data[i] = c % 5 == 1 ? std::round(x) : c % 7 == 3 && i % 11 == 0 ? NAN : c == 4 && i % 13 == 0 ? INFINITY : x;
    }
    return m;
}

// Sequential sliced W1: plain double projections, one direction after another.
double sliced_reference(const MatrixF32& x, const MatrixF32& y, std::size_t P, std::uint64_t seed) {
    const std::size_t d = x.cols;
    const std::vector<float> w = wasserstein_detail::draw_directions(P, d, seed);
    const auto proj = [&](const MatrixF32& m, std::size_t p) {
        std::vector<double> out(m.rows);
        for (std::size_t r = 0; r < m.rows; ++r) {
            double s = 0.0;
            for (std::size_t c = 0; c < d; ++c) s += double(m.row(r)[c]) * double(w[p * d + c]);
            out[r] = s;
        }
        return out;
    };
    double s = 0.0;
    for (std::size_t p = 0; p < P; ++p) s += wasserstein_1d(proj(x, p), proj(y, p)).value();
    return s / double(P);
}

struct Scores {
    std::vector<double> columns;
    double data, query, response, embedding, sliced;
    KMeansResult fit;
    std::vector<std::size_t> assigned;
};

// Shapes that cross several leaves and leave ragged ends: 1300 rows (chunks of
// 256, row blocks of 512), 70 columns (column pieces of 32), 37 directions.
Scores all_scores() {
    Scores s;
    const MatrixF64 tb = table(3001, 23, 1, 0.0), tc = table(2500, 23, 2, 0.02);
    s.columns = DataDriftDetector{}.column_values(tb, tc).value();
    s.data = DataDriftDetector{}.detect(tb, tc).value().score;
    const MatrixF32 qb = gaussian(1300, 70, 3, 0.0f, 2.0f), qc = gaussian(1100, 70, 4, 0.3f, 2.0f);
    s.query = QueryDriftDetector{.k = 9, .seed = 5}.detect(qb, qc).value().score;
    s.fit = kmeans(qb, 9, 50, 5, 1e-4f).value();
    s.assigned = assign_clusters(qc, s.fit.centroids.view());
    const std::vector<double> la{3, 1, 4, 1, 5, 9, 2, 6}, lc{2, 7, 1, 8, 2, 8};
    s.response =
        ResponseDriftDetector{.n_projections = 37, .seed = 8}.detect_with_embeddings(la, lc, qb, qc).value().score;
    s.sliced = sliced_wasserstein(qb, qc, 37, 8).value();
    const MatrixF32 eb = gaussian(300, 33, 6), ec = gaussian(280, 33, 7, 0.2f);
    s.embedding = EmbeddingDriftDetector{.n_projections = 19, .seed = 2}.detect(eb, ec).value().score;
    return s;
}

void expect_same(const Scores& a, const Scores& b, std::size_t threads) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    ASSERT_EQ(a.columns.size(), b.columns.size());
    for (std::size_t j = 0; j < a.columns.size(); ++j) EXPECT_TRUE(same_bits(a.columns[j], b.columns[j])) << j;
    EXPECT_TRUE(same_bits(a.data, b.data));
    EXPECT_TRUE(same_bits(a.query, b.query));
    EXPECT_TRUE(same_bits(a.response, b.response));
    EXPECT_TRUE(same_bits(a.embedding, b.embedding));
    EXPECT_TRUE(same_bits(a.sliced, b.sliced));
    EXPECT_EQ(a.fit.labels, b.fit.labels);
    EXPECT_TRUE(same_bits(a.fit.centroids.data, b.fit.centroids.data));
    EXPECT_TRUE(same_bits(a.fit.inertia, b.fit.inertia));
    EXPECT_EQ(a.fit.iterations, b.fit.iterations);
    EXPECT_EQ(a.assigned, b.assigned);
}

TEST_F(Parallel, EveryDetectorIsBitIdenticalForAnyThreadCount) {
    pool_set_threads(1);
    const Scores want = all_scores();
    EXPECT_GT(want.fit.iterations, 2u);
    EXPECT_TRUE(same_bits(
        want.sliced, sliced_reference(gaussian(1300, 70, 3, 0.0f, 2.0f), gaussian(1100, 70, 4, 0.3f, 2.0f), 37, 8)));
    for (std::size_t threads : {2, 7, 3, 1}) {
        pool_set_threads(threads);
        expect_same(all_scores(), want, threads);
    }
    // Several callers at once share the pool and still get the same bits.
    pool_set_threads(2);
    std::vector<std::thread> callers;
    std::vector<Scores> got(3);
    for (std::size_t t = 0; t < got.size(); ++t) callers.emplace_back([&, t] { got[t] = all_scores(); });
    for (auto& c : callers) c.join();
    for (const Scores& s : got) expect_same(s, want, 2);
}

// Each long kernel, interrupted at its first, second, middle and last poll (every
// cancellation point polls here), returns Cancelled; an uninterrupted call then
// gives the same bits as before.
TEST_F(Parallel, EveryCancellationPointStopsTheCall) {
    const MatrixF64 tb = table(4000, 9, 1, 0.0), tc = table(3000, 9, 2, 0.1);
    const MatrixF32 qb = gaussian(1500, 40, 3, 0.0f, 2.0f), qc = gaussian(900, 40, 4, 0.2f, 2.0f);
    const std::vector<double> la{1, 2, 3}, lc{2, 3, 4};
    using Call = std::function<Result<double>()>;
    const auto score = [](Result<DriftScore> r) -> Result<double> {
        if (!r) return std::move(r).error();
        return r.value().score;
    };
    const std::vector<std::pair<const char*, Call>> calls = {
        {"data", [&] { return score(DataDriftDetector{}.detect(tb, tc)); }},
        {"query", [&] { return score(QueryDriftDetector{.k = 6}.detect(qb, qc)); }},
        {"kmeans",
         [&]() -> Result<double> {
             auto r = kmeans(qb, 5, 20, 1, 0.0f);
             if (!r) return std::move(r).error();
             return r.value().inertia;
         }},
        {"response", [&] { return score(ResponseDriftDetector{}.detect_with_embeddings(la, lc, qb, qc)); }},
        {"embedding", [&] { return score(EmbeddingDriftDetector{}.detect(qb, qc)); }},
        {"mmd_fixed", [&] { return mmd_rbf(qb, qc, Bandwidth::fixed(3.0), false); }},
    };
    for (std::size_t threads : {1, 2}) {
        pool_set_threads(threads);
        for (const auto& [name, call] : calls) {
            SCOPED_TRACE(std::string(name) + " threads " + std::to_string(threads));
            const double want = call().value();
            CountingSource counter(0);
            {
                const CancelScope scope(&counter.source);
                ASSERT_TRUE(same_bits(call().value(), want));
            }
            const std::size_t n = counter.polls;
            ASSERT_GE(n, threads == 1 ? 3u : 1u);
            // With workers the caller's share of the polls varies from run to run; it
            // always runs the first leaf of a loop itself, so the first poll is certain.
            const std::vector<std::size_t> stops =
                threads == 1 ? std::vector<std::size_t>{1, 2, n / 2, n - 1, n} : std::vector<std::size_t>{1};
            for (std::size_t at : stops) {
                CountingSource cs(at);
                Result<double> r = [&] {
                    const CancelScope scope(&cs.source);
                    return call();
                }();
                ASSERT_FALSE(r.ok()) << "stop at poll " << at << " of " << n;
                EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
                EXPECT_TRUE(same_bits(call().value(), want));
            }
        }
    }
}

// A fit with workers, interrupted while chunks are being labelled and added to the
// sums by whichever thread finishes them: Cancelled every time, and the next fit
// (same pool) has the uninterrupted bits. The caller polls at least once per Lloyd
// iteration, so every stop up to the iteration count is reached.
TEST_F(Parallel, FitInterruptedMidIterationLeavesNoTrace) {
    const MatrixF32 x = gaussian(256 * 9 + 41, 48, 11, 0.0f, 3.0f);
    for (std::size_t threads : {2, 3}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        pool_set_threads(threads);
        const KMeansResult want = kmeans(x, 6, 15, 2, 0.0f).value();
        ASSERT_GE(want.iterations, 5u);
        for (std::size_t at : {std::size_t{1}, std::size_t{2}, std::size_t{4}, want.iterations / 2, want.iterations}) {
            CountingSource cs(at);
            Result<KMeansResult> r = [&] {
                const CancelScope scope(&cs.source);
                return kmeans(x, 6, 15, 2, 0.0f);
            }();
            ASSERT_FALSE(r.ok()) << "stop at poll " << at;
            EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
            const KMeansResult again = kmeans(x, 6, 15, 2, 0.0f).value();
            EXPECT_EQ(again.labels, want.labels);
            EXPECT_TRUE(same_bits(again.centroids.data, want.centroids.data));
            EXPECT_TRUE(same_bits(again.inertia, want.inertia));
        }
    }
}

}  // namespace
}  // namespace morvanta
