// AVX-512 squared-distance blocks: one pair per double lane, 8 rows of the packed
// sample per group, two groups per pass so that four rows keep eight independent
// accumulators in flight.
#include <immintrin.h>

// GCC 12's _mm512_cvtps_pd starts from a self-initialised "undefined" register
// and warns about it at every use; the value is fully overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "mmd_simd.hpp"

namespace morvanta::mmd_detail {
namespace {

template <int NI, int NG>
inline void tile(const float* const* a, const float* p, std::size_t cols, double* out, std::size_t out_stride) {
    const std::size_t gstride = cols * kMmdLanes;
    __m512d acc[NI][NG];
    for (int r = 0; r < NI; ++r)
        for (int g = 0; g < NG; ++g) acc[r][g] = _mm512_setzero_pd();
    for (std::size_t t = 0; t < cols; ++t) {
        __m256 b[NG];
        for (int g = 0; g < NG; ++g) b[g] = _mm256_loadu_ps(p + g * gstride + t * kMmdLanes);
        for (int r = 0; r < NI; ++r) {
            const __m256 av = _mm256_broadcast_ss(a[r] + t);
            for (int g = 0; g < NG; ++g) {
                const __m512d w = _mm512_cvtps_pd(_mm256_sub_ps(av, b[g]));
                acc[r][g] = _mm512_fmadd_pd(w, w, acc[r][g]);  // exact square: same as acc + w*w
            }
        }
    }
    for (int r = 0; r < NI; ++r)
        for (int g = 0; g < NG; ++g) _mm512_storeu_pd(out + r * out_stride + g * kMmdLanes, acc[r][g]);
}

template <int NI>
void run(const float* const* a, const float* packed, std::size_t cols, std::size_t g_begin, std::size_t g_end,
         double* out, std::size_t out_stride) {
    std::size_t g = g_begin;
    for (; g + 2 <= g_end; g += 2)
        tile<NI, 2>(a, packed + g * cols * kMmdLanes, cols, out + (g - g_begin) * kMmdLanes, out_stride);
    if (g < g_end) tile<NI, 1>(a, packed + g * cols * kMmdLanes, cols, out + (g - g_begin) * kMmdLanes, out_stride);
}

}  // namespace

void d2_block_avx512(const float* const* a, std::size_t ni, const float* packed, std::size_t cols,
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
