// Companion of bench_parallel.py: what the cancellation points cost. Runs each
// detector on the benchmark shapes with and without an installed cancellation
// source (one that polls every 20 ms, as the Python binding does, and never
// cancels), alternating the two, and prints the best wall and process CPU time of
// each and the relative difference. Threads: as given (1 puts every check on the
// polling thread, the most expensive case).
//   bench_cancel_cost THREADS REPS
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "cancel.hpp"
#include "detectors/detectors.hpp"
#include "pool.hpp"

namespace {

using namespace morvanta;

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}
double wall_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

template <class T>
Matrix<T> normal(std::size_t rows, std::size_t cols, unsigned seed, T shift) {
    std::mt19937_64 g(seed);
    std::normal_distribution<double> nd;
    Matrix<T> m(rows, cols);
    for (auto& v : m.data) v = static_cast<T>(nd(g)) + shift;
    return m;
}

struct Best {
    double wall = 1e300, cpu = 1e300;
};

std::size_t g_polls = 0;
bool never(void*) {
    ++g_polls;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
    pool_set_threads(threads);

    const auto data_b = normal<double>(1000000, 32, 1, 0.0), data_c = normal<double>(1000000, 32, 2, 0.01);
    const auto q_b = normal<float>(20000, 384, 3, 0.0f), q_c = normal<float>(20000, 384, 4, 0.1f);
    const auto r_b = normal<float>(5000, 384, 5, 0.0f), r_c = normal<float>(5000, 384, 6, 0.05f);
    const auto e_b = normal<float>(3000, 64, 7, 0.0f), e_c = normal<float>(3000, 64, 8, 0.05f);
    std::vector<double> lengths(5000);
    for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = double(i % 377);

    const std::vector<std::pair<const char*, std::function<double()>>> cases = {
        {"DataDrift 2 x 1,000,000 x 32", [&] { return DataDriftDetector{}.detect(data_b, data_c).value().score; }},
        {"QueryDrift 2 x 20,000 x 384, k = 8", [&] { return QueryDriftDetector{}.detect(q_b, q_c).value().score; }},
        {"ResponseDrift embeddings 2 x 5,000 x 384",
         [&] { return ResponseDriftDetector{}.detect_with_embeddings(lengths, lengths, r_b, r_c).value().score; }},
        {"EmbeddingDrift 2 x 3,000 x 64", [&] { return EmbeddingDriftDetector{}.detect(e_b, e_c).value().score; }},
    };
    std::printf("threads %zu, best of %d or more, alternating runs\n", pool_threads(), reps);
    for (const auto& [name, call] : cases) {
        Best plain, polled;
        const double w = wall_now();
        double s_plain = call(), s_polled = 0.0;  // warm-up
        // Short calls are repeated until each side has had about a second.
        const int n = std::max(reps, static_cast<int>(1.0 / std::max(wall_now() - w, 1e-4)));
        g_polls = 0;
        for (int r = 0; r < n; ++r) {
            for (int with = 0; with < 2; ++with) {
                CancelSource src;
                src.poll = never;
                const double w0 = wall_now(), c0 = cpu_now();
                if (with) {
                    const CancelScope scope(&src);
                    s_polled = call();
                } else {
                    s_plain = call();
                }
                Best& b = with ? polled : plain;
                b.wall = std::min(b.wall, wall_now() - w0);
                b.cpu = std::min(b.cpu, cpu_now() - c0);
            }
        }
        std::printf(
            "%-42s plain %8.2f ms (cpu %8.2f)  polled %8.2f ms (cpu %8.2f)  cost %+6.2f%% wall %+6.2f%% cpu"
            "  polls/call %zu  %s\n",
            name, plain.wall * 1e3, plain.cpu * 1e3, polled.wall * 1e3, polled.cpu * 1e3,
            100.0 * (polled.wall / plain.wall - 1.0), 100.0 * (polled.cpu / plain.cpu - 1.0), g_polls / std::size_t(n),
            s_plain == s_polled ? "same score" : "SCORES DIFFER");
    }
    return 0;
}
