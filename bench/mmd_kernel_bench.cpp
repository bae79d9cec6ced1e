// Times mmd_rbf (each instruction-set path, 1 and all workers) on 2000 x 384
// float32 rows against the machine's peak rate of independent 64-bit vector adds.
// Build by hand against a dev build (-O3: at -O2 GCC keeps the peak loop's
// accumulators in memory), e.g.:
//   g++ -std=c++20 -O3 -Icore/src bench/mmd_kernel_bench.cpp \
//       build/NAME/core/libmorvanta_core.a -lpthread -o /tmp/mmd_kernel_bench
// The AVX-512 peak loops run only when the CPU has AVX-512.
#include <immintrin.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pool.hpp"
#include "stats/mmd.hpp"
#include "stats/wasserstein.hpp"

using namespace morvanta;
using clk = std::chrono::steady_clock;

static double secs(clk::time_point a, clk::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// CPU time of the whole process: rates per busy core stay meaningful on a shared,
// loaded machine where wall time does not.
static double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}
static double thread_cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// 16 independent chains of 8-lane double adds; returns adds per CPU second.
__attribute__((target("avx512f"))) static double peak_adds_avx512(long iters) {
    __m512d acc[16];
    for (int k = 0; k < 16; ++k) acc[k] = _mm512_set1_pd(k);
    const __m512d inc = _mm512_set1_pd(1e-9);
    const double t0 = thread_cpu_now();
    for (long i = 0; i < iters; ++i)
        for (int k = 0; k < 16; ++k) acc[k] = _mm512_add_pd(acc[k], inc);
    const double t1 = thread_cpu_now();
    double sink = 0;
    for (int k = 0; k < 16; ++k) sink += _mm512_reduce_add_pd(acc[k]);
    if (sink == 42) std::puts("");
    return double(iters) * 16 * 8 / (t1 - t0);
}

// Independent float -> double widenings (8 lanes each): every pair-component needs
// one, so this bounds the kernel from above as well.
__attribute__((target("avx512f"))) static double peak_widen_avx512(long iters) {
    __m256 src[8];
    for (int k = 0; k < 8; ++k) src[k] = _mm256_set1_ps(float(k));
    __m512d acc = _mm512_setzero_pd();
    const double t0 = thread_cpu_now();
    for (long i = 0; i < iters; ++i) {
        __m512d w[8];
        for (int k = 0; k < 8; ++k) w[k] = _mm512_cvtps_pd(src[k]);
        for (int k = 0; k < 8; ++k) asm volatile("" : "+v"(w[k]));  // keep each conversion
        for (int k = 0; k < 8; ++k) asm volatile("" : "+v"(src[k]));
        acc = _mm512_max_pd(acc, w[i & 7]);
    }
    const double t1 = thread_cpu_now();
    if (_mm512_reduce_add_pd(acc) == 42) std::puts("");
    return double(iters) * 8 * 8 / (t1 - t0);
}

__attribute__((target("avx2"))) static double peak_adds_avx2(long iters) {
    __m256d acc[12];
    for (int k = 0; k < 12; ++k) acc[k] = _mm256_set1_pd(k);
    const __m256d inc = _mm256_set1_pd(1e-9);
    const double t0 = thread_cpu_now();
    for (long i = 0; i < iters; ++i)
        for (int k = 0; k < 12; ++k) acc[k] = _mm256_add_pd(acc[k], inc);
    const double t1 = thread_cpu_now();
    alignas(32) double out[4];
    double sink = 0;
    for (int k = 0; k < 12; ++k) {
        _mm256_store_pd(out, acc[k]);
        sink += out[0] + out[3];
    }
    if (sink == 42) std::puts("");
    return double(iters) * 12 * 4 / (t1 - t0);
}

template <class F>
static double all_threads(unsigned n, F f) {
    std::vector<double> r(n);
    std::vector<std::thread> ts;
    for (unsigned i = 0; i < n; ++i) ts.emplace_back([&, i] { r[i] = f(); });
    for (auto& t : ts) t.join();
    double s = 0;
    for (double v : r) s += v;
    return s;
}

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::stoul(argv[1]) : 2000, d = 384;
    std::mt19937 gen(0);
    std::normal_distribution<float> nd;
    MatrixF32 x(n, d), y(n, d);
    for (auto& v : x.data) v = nd(gen);
    for (auto& v : y.data) v = nd(gen) + 0.05f;
    const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
    const double pair_components = double(n * (n - 1) * 2 + n * n) * double(d);

    double peak1 = 0, peakn = 0;
    if (__builtin_cpu_supports("avx512f")) {
        peak1 = peak_adds_avx512(200'000'000);
        peakn = all_threads(hw, [] { return peak_adds_avx512(200'000'000); });  // sum of per-thread rates
        std::printf("peak f64 adds (avx512): %.2f G/s one thread, %.2f G/s %u threads\n", peak1 / 1e9, peakn / 1e9, hw);
        std::printf("peak f32->f64 widenings (avx512): %.2f G/s one thread\n", peak_widen_avx512(100'000'000) / 1e9);
    }
    {
        double p1 = peak_adds_avx2(200'000'000);
        double pn = all_threads(hw, [] { return peak_adds_avx2(200'000'000); });
        std::printf("peak f64 adds (avx2):   %.2f G/s one thread, %.2f G/s %u threads\n", p1 / 1e9, pn / 1e9, hw);
        if (peak1 < p1) peak1 = p1;
        if (peakn < pn) peakn = pn;
    }

    for (MmdIsa isa : {MmdIsa::Portable, MmdIsa::Avx2, MmdIsa::Avx512}) {
        if (!mmd_set_isa(isa)) continue;
        const char* name = isa == MmdIsa::Portable ? "portable" : isa == MmdIsa::Avx2 ? "avx2" : "avx512";
        for (std::size_t threads : {std::size_t(1), std::size_t(hw)}) {
            pool_set_threads(threads);
            double best = 1e9, best_cpu = 1e9, value = 0;
            for (int rep = 0; rep < 3; ++rep) {
                auto t0 = clk::now();
                const double c0 = cpu_now();
                value = mmd_rbf(x, y, Bandwidth::median_heuristic(), true).value();
                best_cpu = std::min(best_cpu, cpu_now() - c0);
                best = std::min(best, secs(t0, clk::now()));
            }
            const double rate = pair_components / best_cpu;  // per busy core
            std::printf(
                "mmd_rbf %-8s %2zu workers: wall %.3f s, cpu %.3f s; %.2f G pair-components per cpu-s "
                "(%.0f%% of peak f64 adds per cpu-s)  mmd=%.17g\n",
                name, threads, best, best_cpu, rate / 1e9, 100 * rate / peak1, value);
        }
    }
    mmd_set_isa(MmdIsa::Auto);
    pool_set_threads(0);
    {
        auto t0 = clk::now();
        double v = sliced_wasserstein(x, y, 64, 0).value();
        std::printf("sliced_wasserstein 64 projections: %.3f s (%.17g)\n", secs(t0, clk::now()), v);
    }
}
