// AVX2 projection: each vector lane is one row, so every row keeps its own
// ascending-component sum; a block of 8 rows is transposed once and then projected
// onto the directions four at a time.
#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "wasserstein_kernels.hpp"

namespace morvanta::wasserstein_detail {

namespace {

// t[c * 8 + l] = x(r0 + l, c) widened to double; lanes past the last row are zero.
void transpose_block(ViewF32 x, std::size_t r0, std::size_t nl, double* t) noexcept {
    const std::size_t d = x.cols;
    const float* rowp[8];
    for (std::size_t l = 0; l < 8; ++l) rowp[l] = l < nl ? x.row(r0 + l) : nullptr;
    std::size_t c = 0;
    for (; c + 4 <= d; c += 4) {
        for (int h = 0; h < 2; ++h) {
            __m256d r[4];
            for (int k = 0; k < 4; ++k) {
                const float* p = rowp[4 * h + k];
                r[k] = p ? _mm256_cvtps_pd(_mm_loadu_ps(p + c)) : _mm256_setzero_pd();
            }
            const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
            const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
            double* o = t + c * 8 + 4 * h;
            _mm256_storeu_pd(o, _mm256_permute2f128_pd(t0, t2, 0x20));
            _mm256_storeu_pd(o + 8, _mm256_permute2f128_pd(t1, t3, 0x20));
            _mm256_storeu_pd(o + 16, _mm256_permute2f128_pd(t0, t2, 0x31));
            _mm256_storeu_pd(o + 24, _mm256_permute2f128_pd(t1, t3, 0x31));
        }
    }
    for (; c < d; ++c)
        for (std::size_t l = 0; l < 8; ++l) t[c * 8 + l] = rowp[l] ? static_cast<double>(rowp[l][c]) : 0.0;
}

}  // namespace

void project_avx2(ViewF32 x, const float* w, std::size_t n_dirs, double* out) {
    constexpr std::size_t L = 8;  // rows per block: two vectors of four doubles
    constexpr std::size_t G = 4;  // directions per pass over a block
    const std::size_t d = x.cols, rows = x.rows;
    const std::vector<double> packed = pack_directions(w, n_dirs, d, G);
    std::vector<double> t(d * L);

    for (std::size_t r0 = 0; r0 < rows; r0 += L) {
        const std::size_t nl = std::min(L, rows - r0);
        transpose_block(x, r0, nl, t.data());
        for (std::size_t g = 0; g * G < n_dirs; ++g) {
            const double* wg = packed.data() + g * d * G;
            __m256d a[G], b[G];
#pragma GCC unroll 4
            for (std::size_t q = 0; q < G; ++q) a[q] = b[q] = _mm256_setzero_pd();
            for (std::size_t c = 0; c < d; ++c) {
                const __m256d x0 = _mm256_loadu_pd(t.data() + c * L);
                const __m256d x1 = _mm256_loadu_pd(t.data() + c * L + 4);
                const double* wc = wg + c * G;
#pragma GCC unroll 4
                for (std::size_t q = 0; q < G; ++q) {
                    // Exact product of two widened floats: fusing adds no rounding.
                    const __m256d wq = _mm256_broadcast_sd(wc + q);
                    a[q] = _mm256_fmadd_pd(x0, wq, a[q]);
                    b[q] = _mm256_fmadd_pd(x1, wq, b[q]);
                }
            }
            // Unrolled with constant indices so the accumulators stay in registers.
            const std::size_t qn = std::min(G, n_dirs - g * G);
#pragma GCC unroll 4
            for (std::size_t q = 0; q < G; ++q) {
                if (q >= qn) continue;
                double* o = out + (g * G + q) * rows + r0;
                if (nl == L) {
                    _mm256_storeu_pd(o, a[q]);
                    _mm256_storeu_pd(o + 4, b[q]);
                } else {
                    alignas(32) double lane[L];
                    _mm256_store_pd(lane, a[q]);
                    _mm256_store_pd(lane + 4, b[q]);
                    std::copy(lane, lane + nl, o);
                }
            }
        }
    }
}

}  // namespace morvanta::wasserstein_detail
