#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>

#include "pool.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using testkit::same_bits;

// Terms whose sum depends on the order of addition in its last bits.
double harmonic(const void*, std::size_t b, std::size_t e) {
    double s = 0.0;
    for (std::size_t i = b; i < e; ++i) s += 1.0 / double(i + 1) + 1e-3 * double(i % 7);
    return s;
}
double harmonic(std::size_t n) { return pool_parallel_sum(n, harmonic, nullptr).value; }

class PoolTest : public ::testing::Test {
    void TearDown() override { pool_set_threads(0); }
};

TEST_F(PoolTest, SumsAreExactAndBitIdenticalAcrossWorkerCounts) {
    const std::size_t sizes[] = {0, 1, 2, 7, 9, 999, 100003};
    pool_set_threads(1);
    std::vector<double> want;
    for (std::size_t n : sizes) want.push_back(harmonic(n));
    for (std::size_t threads : {2, 7, 1, 5}) {
        pool_set_threads(threads);
        EXPECT_EQ(pool_threads(), threads);
        for (std::size_t k = 0; k < std::size(sizes); ++k) {
            const std::size_t n = sizes[k];
            const double sum = pool_parallel_sum(n, [](std::size_t b, std::size_t e) {
                                   return double(e - b) * double(b + e - 1) / 2;
                               }).value;
            EXPECT_EQ(sum, n == 0 ? 0.0 : double(n) * double(n - 1) / 2) << n;
            for (int rep = 0; rep < 3; ++rep) EXPECT_TRUE(same_bits(harmonic(n), want[k])) << n << " " << threads;
        }
    }
}

class PoolFaults : public PoolTest, public ::testing::WithParamInterface<std::pair<bool, std::size_t>> {};

TEST_P(PoolFaults, LeafExceptionIsReportedNotFatal) {
    const auto [bad_alloc, from] = GetParam();  // leaves starting at or after `from` throw
    for (std::size_t threads : {1, 4}) {
        pool_set_threads(threads);
        PoolSum r = pool_parallel_sum(1000, [&](std::size_t b, std::size_t) -> double {
            if (b < from) return 1.0;
            if (bad_alloc) throw std::bad_alloc();
            throw std::runtime_error("leaf failed");
        });
        ASSERT_TRUE(r.fault);
        if (bad_alloc) EXPECT_THROW(std::rethrow_exception(r.fault), std::bad_alloc);
        else EXPECT_THROW(std::rethrow_exception(r.fault), std::runtime_error);
        EXPECT_EQ(pool_parallel_sum(100, [](std::size_t b, std::size_t e) { return double(e - b); }).value, 100.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PoolFaults,
                         ::testing::Values(std::pair{true, 0}, std::pair{true, 500}, std::pair{false, 0},
                                           std::pair{false, 950}));

TEST_F(PoolTest, ConcurrentCallersSurviveARestart) {
    pool_set_threads(2);
    const double want = harmonic(20000);
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int rep = 0; rep < 20; ++rep) wrong += !same_bits(harmonic(20000), want);
        });
    pool_set_threads(3);  // retires the running pool under its callers
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Runs `body` in a forked child with a watchdog; true if it exited with status 0.
template <class F>
bool in_child(F body) {
    if (pid_t pid = fork(); pid != 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    alarm(20);  // a hang kills the child instead of the test run
    _exit(body() ? 0 : 1);
}

TEST_F(PoolTest, ForkedChildStartsItsOwnPool) {
    const double want = harmonic(50000);  // the parent's pool is running
    std::atomic<bool> stop{false};
    std::thread busy([&] {  // and busy while forking
        while (!stop) (void)harmonic(20000);
    });
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(in_child([&] {
            return same_bits(harmonic(50000), want) && in_child([&] { return same_bits(harmonic(50000), want); });
        }));
    stop = true;
    busy.join();
    EXPECT_TRUE(same_bits(harmonic(50000), want));
}

TEST(PoolExit, ExitWithSleepingWorkersDoesNotHang) {
    EXPECT_TRUE(in_child([] {
        (void)harmonic(10000);
        std::exit(0);  // static destructors and atexit handlers run with the workers asleep
        return true;
    }));
}

}  // namespace
}  // namespace morvanta
