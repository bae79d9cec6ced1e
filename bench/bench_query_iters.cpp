// Companion of bench_query.py: fits the same baseline with the core's kmeans
// (k, max_iter = 50 and tol as QueryDrift uses them) and prints, per seed, the
// Lloyd iteration count and the fit time, which the Python class does not expose.
//   bench_query_iters BASELINE.f32 ROWS COLS K SEED...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>
#include "stats/kmeans.hpp"
#include "stats/kmeans_kernels.hpp"

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s BASELINE.f32 ROWS COLS K SEED...\n", argv[0]);
        return 2;
    }
    const std::size_t rows = std::strtoull(argv[2], nullptr, 10), cols = std::strtoull(argv[3], nullptr, 10);
    const std::size_t k = std::strtoull(argv[4], nullptr, 10);
    morvanta::MatrixF32 x(rows, cols);
    std::ifstream in(argv[1], std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(x.data.data()), static_cast<std::streamsize>(x.data.size() * sizeof(float)))) {
        std::fprintf(stderr, "cannot read %zu x %zu floats from %s\n", rows, cols, argv[1]);
        return 1;
    }
    std::printf("path %s\n", morvanta::kmeans_detail::path_name(morvanta::kmeans_detail::best_path()));
    for (int a = 5; a < argc; ++a) {
        const std::uint64_t seed = std::strtoull(argv[a], nullptr, 10);
        const auto t0 = std::chrono::steady_clock::now();
        auto r = morvanta::kmeans(x.view(), k, 50, seed, 1e-4f);
        const auto t1 = std::chrono::steady_clock::now();
        if (!r.ok()) {
            std::printf("seed %llu error %s\n", static_cast<unsigned long long>(seed), r.error().message().c_str());
            continue;
        }
        std::printf("seed %llu iterations %zu fit_ms %.3f inertia %.9g\n", static_cast<unsigned long long>(seed),
                    r.value().iterations, std::chrono::duration<double, std::milli>(t1 - t0).count(),
                    r.value().inertia);
    }
    return 0;
}
