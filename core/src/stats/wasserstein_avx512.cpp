// AVX-512 projection: each vector lane is one row, so every row keeps its own
// ascending-component sum; a block of 16 rows is transposed once and then projected
// onto the directions eight at a time.
// GCC 12 reports its own _mm512_undefined_pd() placeholders inside the intrinsic
// headers as "maybe uninitialized"; the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "wasserstein_kernels.hpp"

namespace morvanta::wasserstein_detail {

namespace {

// Transposes an 8 x 8 block of doubles held one row per vector.
inline void transpose8(__m512d r[8]) noexcept {
    const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    __m512d t[8], u[8];
    for (int k = 0; k < 4; ++k) {
        t[2 * k] = _mm512_unpacklo_pd(r[2 * k], r[2 * k + 1]);
        t[2 * k + 1] = _mm512_unpackhi_pd(r[2 * k], r[2 * k + 1]);
    }
    // u[0]: columns 0 and 4 of rows 0-3; u[1]: 1 and 5; u[2]: 2 and 6; u[3]: 3 and 7; u[4..7] rows 4-7.
    for (int h = 0; h < 2; ++h) {
        u[4 * h + 0] = _mm512_permutex2var_pd(t[4 * h + 0], lo, t[4 * h + 2]);
        u[4 * h + 1] = _mm512_permutex2var_pd(t[4 * h + 1], lo, t[4 * h + 3]);
        u[4 * h + 2] = _mm512_permutex2var_pd(t[4 * h + 0], hi, t[4 * h + 2]);
        u[4 * h + 3] = _mm512_permutex2var_pd(t[4 * h + 1], hi, t[4 * h + 3]);
    }
    for (int k = 0; k < 4; ++k) {
        r[k] = _mm512_shuffle_f64x2(u[k], u[k + 4], 0x44);
        r[k + 4] = _mm512_shuffle_f64x2(u[k], u[k + 4], 0xEE);
    }
}

// t[c * 16 + l] = x(r0 + l, c) widened to double; lanes past the last row are zero.
void transpose_block(ViewF32 x, std::size_t r0, std::size_t nl, double* t) noexcept {
    const std::size_t d = x.cols;
    const float* rowp[16];
    for (std::size_t l = 0; l < 16; ++l) rowp[l] = l < nl ? x.row(r0 + l) : nullptr;
    std::size_t c = 0;
    for (; c + 8 <= d; c += 8) {
        for (int h = 0; h < 2; ++h) {
            __m512d r[8];
            for (int k = 0; k < 8; ++k) {
                const float* p = rowp[8 * h + k];
                r[k] = p ? _mm512_cvtps_pd(_mm256_loadu_ps(p + c)) : _mm512_setzero_pd();
            }
            transpose8(r);
            for (int k = 0; k < 8; ++k) _mm512_storeu_pd(t + (c + k) * 16 + 8 * h, r[k]);
        }
    }
    for (; c < d; ++c)
        for (std::size_t l = 0; l < 16; ++l) t[c * 16 + l] = rowp[l] ? static_cast<double>(rowp[l][c]) : 0.0;
}

}  // namespace

void project_avx512(ViewF32 x, const float* w, std::size_t n_dirs, double* out) {
    constexpr std::size_t L = 16;  // rows per block: two vectors of eight doubles
    constexpr std::size_t G = 8;   // directions per pass over a block
    const std::size_t d = x.cols, rows = x.rows;
    const std::vector<double> packed = pack_directions(w, n_dirs, d, G);
    std::vector<double> t(d * L);

    for (std::size_t r0 = 0; r0 < rows; r0 += L) {
        const std::size_t nl = std::min(L, rows - r0);
        transpose_block(x, r0, nl, t.data());
        const __mmask8 m0 = static_cast<__mmask8>(nl >= 8 ? 0xFF : (1u << nl) - 1);
        const __mmask8 m1 = static_cast<__mmask8>(nl >= 16 ? 0xFF : nl <= 8 ? 0 : (1u << (nl - 8)) - 1);

        for (std::size_t g = 0; g * G < n_dirs; ++g) {
            const double* wg = packed.data() + g * d * G;
            __m512d a[G], b[G];
#pragma GCC unroll 8
            for (std::size_t q = 0; q < G; ++q) a[q] = b[q] = _mm512_setzero_pd();
            for (std::size_t c = 0; c < d; ++c) {
                const __m512d x0 = _mm512_loadu_pd(t.data() + c * L);
                const __m512d x1 = _mm512_loadu_pd(t.data() + c * L + 8);
                const double* wc = wg + c * G;
#pragma GCC unroll 8
                for (std::size_t q = 0; q < G; ++q) {
                    // Exact product of two widened floats: fusing adds no rounding.
                    const __m512d wq = _mm512_set1_pd(wc[q]);
                    a[q] = _mm512_fmadd_pd(x0, wq, a[q]);
                    b[q] = _mm512_fmadd_pd(x1, wq, b[q]);
                }
            }
            // Unrolled with constant indices so the accumulators stay in registers.
            const std::size_t qn = std::min(G, n_dirs - g * G);
#pragma GCC unroll 8
            for (std::size_t q = 0; q < G; ++q) {
                if (q < qn) {
                    double* o = out + (g * G + q) * rows + r0;
                    _mm512_mask_storeu_pd(o, m0, a[q]);
                    _mm512_mask_storeu_pd(o + 8, m1, b[q]);
                }
            }
        }
    }
}

}  // namespace morvanta::wasserstein_detail
