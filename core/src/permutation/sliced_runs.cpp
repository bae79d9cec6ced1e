#include "sliced_runs.hpp"

#include <cmath>

#include "../simd.hpp"

namespace morvanta::permutation::detail {

void sliced_runs_portable(std::size_t total, const std::uint32_t* order, const double* gaps, const double* shares,
                          std::size_t m, const std::uint8_t* lanes, double* w) {
    const double* share_a = shares;
    const double* share_b = shares + m + 1;
    std::size_t i[8] = {};
    double acc[8] = {};
    for (std::size_t k = 0; k < total; ++k) {
        const unsigned bits = lanes[order[k]];
        for (int q = 0; q < 8; ++q) i[q] += (bits >> q) & 1u;
        const double g = gaps[k];
        if (g == 0.0) continue;
        const std::size_t end = k + 1;
        for (int q = 0; q < 8; ++q) {
            const double weight = std::fabs(share_a[i[q]] - share_b[end - i[q]]);
            if (weight != 0.0) acc[q] += g * weight;
        }
    }
    for (int q = 0; q < 8; ++q) w[q] = acc[q];
}

SlicedRunsFn sliced_runs_active() {
    switch (simd_best()) {
        case SimdPath::Avx512: return sliced_runs_avx512;
        case SimdPath::Avx2: return sliced_runs_avx2;
        default: return sliced_runs_portable;
    }
}

}  // namespace morvanta::permutation::detail
