// AVX2 squared-distance blocks: one pair per double lane, each group of 8 packed
// rows taken as two halves of 4, four rows giving eight independent accumulators.
#include <immintrin.h>

#include "mmd_simd.hpp"

namespace morvanta::mmd_detail {
namespace {

template <int NI>
inline void tile(const float* const* a, const float* p, std::size_t cols, double* out, std::size_t out_stride) {
    __m256d acc[NI][2];
    for (int r = 0; r < NI; ++r) acc[r][0] = acc[r][1] = _mm256_setzero_pd();
    for (std::size_t t = 0; t < cols; ++t) {
        const __m128 b0 = _mm_loadu_ps(p + t * kMmdLanes);
        const __m128 b1 = _mm_loadu_ps(p + t * kMmdLanes + 4);
        for (int r = 0; r < NI; ++r) {
            const __m128 av = _mm_broadcast_ss(a[r] + t);
            const __m256d w0 = _mm256_cvtps_pd(_mm_sub_ps(av, b0));
            const __m256d w1 = _mm256_cvtps_pd(_mm_sub_ps(av, b1));
            acc[r][0] = _mm256_fmadd_pd(w0, w0, acc[r][0]);  // exact square: same as acc + w*w
            acc[r][1] = _mm256_fmadd_pd(w1, w1, acc[r][1]);
        }
    }
    for (int r = 0; r < NI; ++r) {
        _mm256_storeu_pd(out + r * out_stride, acc[r][0]);
        _mm256_storeu_pd(out + r * out_stride + 4, acc[r][1]);
    }
}

template <int NI>
void run(const float* const* a, const float* packed, std::size_t cols, std::size_t g_begin, std::size_t g_end,
         double* out, std::size_t out_stride) {
    for (std::size_t g = g_begin; g < g_end; ++g)
        tile<NI>(a, packed + g * cols * kMmdLanes, cols, out + (g - g_begin) * kMmdLanes, out_stride);
}

}  // namespace

void d2_block_avx2(const float* const* a, std::size_t ni, const float* packed, std::size_t cols,
                   std::size_t g_begin, std::size_t g_end, double* out, std::size_t out_stride) {
    switch (ni) {
        case 1: run<1>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 2: run<2>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 3: run<3>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 4: run<4>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        default: break;
    }
}

}  // namespace morvanta::mmd_detail
