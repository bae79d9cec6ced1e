#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "pool.hpp"

namespace morvanta {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Terms whose sum depends on the order of addition in its last bits.
double harmonic_leaf(const void*, std::size_t b, std::size_t e) {
    double s = 0.0;
    for (std::size_t i = b; i < e; ++i) s += 1.0 / static_cast<double>(i + 1) + 1e-3 * static_cast<double>(i % 7);
    return s;
}

class PoolThreads : public ::testing::Test {
protected:
    void TearDown() override { pool_set_threads(0); }
};

TEST_F(PoolThreads, IntegerSumsAreExact) {
    for (std::size_t threads : {1, 2, 7}) {
        pool_set_threads(threads);
        for (std::size_t n : {0, 1, 2, 3, 7, 8, 9, 100, 1000, 100003}) {
            PoolSum r = pool_parallel_sum(n, [](std::size_t b, std::size_t e) {
                double s = 0.0;
                for (std::size_t i = b; i < e; ++i) s += static_cast<double>(i);
                return s;
            });
            ASSERT_FALSE(r.fault);
            EXPECT_EQ(r.value, n == 0 ? 0.0 : double(n) * double(n - 1) / 2) << n;
        }
    }
}

TEST_F(PoolThreads, LeavesCoverRangeOnceWithinGrain) {
    pool_set_threads(3);
    for (std::size_t n : {1, 5, 16, 63, 64, 1000, 4097}) {
        std::vector<std::atomic<int>> hits(n);
        const std::size_t grain = pool_grain(n);
        std::atomic<bool> too_big{false};
        PoolSum r = pool_parallel_sum(n, [&](std::size_t b, std::size_t e) {
            if (e - b > grain || e <= b) too_big = true;
            for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
            return 0.0;
        });
        ASSERT_FALSE(r.fault);
        EXPECT_FALSE(too_big.load()) << n;
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
    }
}

TEST_F(PoolThreads, BitIdenticalAcrossWorkerCounts) {
    for (std::size_t n : {1, 10, 999, 50000}) {
        pool_set_threads(1);
        const double want = pool_parallel_sum(n, harmonic_leaf, nullptr).value;
        for (std::size_t threads : {2, 7, 1, 5}) {
            pool_set_threads(threads);
            for (int rep = 0; rep < 5; ++rep)
                EXPECT_TRUE(same_bits(pool_parallel_sum(n, harmonic_leaf, nullptr).value, want)) << n;
        }
    }
}

TEST_F(PoolThreads, ThreadCountSetting) {
    pool_set_threads(7);
    EXPECT_EQ(pool_threads(), 7u);
    pool_set_threads(0);
    const unsigned hw = std::thread::hardware_concurrency();
    EXPECT_EQ(pool_threads(), hw == 0 ? 1u : hw);
}

struct FaultCase {
    bool bad_alloc;
    std::size_t throwing_from;  // leaves starting at or after this index throw
};

class PoolFaults : public ::testing::TestWithParam<FaultCase> {
protected:
    void TearDown() override { pool_set_threads(0); }
};

TEST_P(PoolFaults, LeafExceptionIsReportedNotFatal) {
    const FaultCase& c = GetParam();
    for (std::size_t threads : {1, 4}) {
        pool_set_threads(threads);
        PoolSum r = pool_parallel_sum(1000, [&](std::size_t b, std::size_t) -> double {
            if (b >= c.throwing_from) {
                if (c.bad_alloc) throw std::bad_alloc();
                throw std::runtime_error("leaf failed");
            }
            return 1.0;
        });
        ASSERT_TRUE(r.fault);
        if (c.bad_alloc) EXPECT_THROW(std::rethrow_exception(r.fault), std::bad_alloc);
        else EXPECT_THROW(std::rethrow_exception(r.fault), std::runtime_error);
        // The pool keeps working afterwards.
        EXPECT_EQ(pool_parallel_sum(100, [](std::size_t b, std::size_t e) { return double(e - b); }).value, 100.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PoolFaults,
                         ::testing::Values(FaultCase{true, 0}, FaultCase{true, 500}, FaultCase{false, 0},
                                           FaultCase{false, 992}));

TEST_F(PoolThreads, ConcurrentCallersGetTheirOwnSums) {
    pool_set_threads(2);
    const double want = pool_parallel_sum(20000, harmonic_leaf, nullptr).value;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int rep = 0; rep < 20; ++rep) {
                const std::size_t n = 1000 + 37 * t;
                PoolSum r = pool_parallel_sum(n, [](std::size_t b, std::size_t e) { return double(e - b); });
                if (r.value != double(n)) ++wrong;
                if (!same_bits(pool_parallel_sum(20000, harmonic_leaf, nullptr).value, want)) ++wrong;
            }
        });
    // Retiring the pool under running callers must not lose or hang their sums.
    pool_set_threads(3);
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Runs `body` in a forked child with a watchdog; returns the child's exit status.
template <class F>
int in_child(F body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);  // a hang kills the child instead of the test run
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST_F(PoolThreads, ForkedChildStartsItsOwnPool) {
    pool_set_threads(0);
    const double want = pool_parallel_sum(50000, harmonic_leaf, nullptr).value;  // parent pool running
    int status = in_child([&] {
        bool ok = same_bits(pool_parallel_sum(50000, harmonic_leaf, nullptr).value, want);
        // and a child of the child
        int inner = in_child([&] { return same_bits(pool_parallel_sum(999, harmonic_leaf, nullptr).value,
                                                    pool_parallel_sum(999, harmonic_leaf, nullptr).value); });
        return ok && WIFEXITED(inner) && WEXITSTATUS(inner) == 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent carries on with its pool.
    EXPECT_TRUE(same_bits(pool_parallel_sum(50000, harmonic_leaf, nullptr).value, want));
}

TEST_F(PoolThreads, ForkWhileAnotherThreadSums) {
    pool_set_threads(2);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) (void)pool_parallel_sum(20000, harmonic_leaf, nullptr);
    });
    for (int k = 0; k < 5; ++k) {
        int status = in_child([] { return pool_parallel_sum(1000, harmonic_leaf, nullptr).value > 0.0; });
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    stop = true;
    busy.join();
}

TEST(PoolExit, ExitWithSleepingWorkersDoesNotHang) {
    int status = in_child([] {
        (void)pool_parallel_sum(10000, harmonic_leaf, nullptr);
        std::exit(0);  // runs static destructors and atexit handlers with workers asleep
        return true;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace morvanta
