// AVX2 squared-distance blocks: one pair per double lane, each group of 8 packed
// rows taken as two halves of 4, four rows giving eight independent accumulators.
#include <immintrin.h>

#include "mmd_simd.hpp"

namespace morvanta::mmd_detail {
namespace {

// One accumulator per (row, half); kept as named values because GCC spills
// arrays of vector registers to the stack on every iteration.
template <int NI>
inline void tile(const float* const* a, const float* p, std::size_t cols, double* out, std::size_t out_stride) {
    const float* a0 = a[0];
    const float* a1 = NI > 1 ? a[1] : a[0];
    const float* a2 = NI > 2 ? a[2] : a[0];
    const float* a3 = NI > 3 ? a[3] : a[0];
    __m256d s00 = _mm256_setzero_pd(), s01 = s00, s10 = s00, s11 = s00;
    __m256d s20 = s00, s21 = s00, s30 = s00, s31 = s00;
    auto step = [](__m128 av, __m128 b, __m256d acc) {
        const __m256d w = _mm256_cvtps_pd(_mm_sub_ps(av, b));
        return _mm256_fmadd_pd(w, w, acc);  // exact square: same as acc + w*w
    };
    for (std::size_t t = 0; t < cols; ++t) {
        const __m128 b0 = _mm_loadu_ps(p + t * kMmdLanes);
        const __m128 b1 = _mm_loadu_ps(p + t * kMmdLanes + 4);
        const __m128 v0 = _mm_broadcast_ss(a0 + t);
        s00 = step(v0, b0, s00);
        s01 = step(v0, b1, s01);
        if constexpr (NI > 1) {
            const __m128 v1 = _mm_broadcast_ss(a1 + t);
            s10 = step(v1, b0, s10);
            s11 = step(v1, b1, s11);
        }
        if constexpr (NI > 2) {
            const __m128 v2 = _mm_broadcast_ss(a2 + t);
            s20 = step(v2, b0, s20);
            s21 = step(v2, b1, s21);
        }
        if constexpr (NI > 3) {
            const __m128 v3 = _mm_broadcast_ss(a3 + t);
            s30 = step(v3, b0, s30);
            s31 = step(v3, b1, s31);
        }
    }
    const __m256d res[4][2] = {{s00, s01}, {s10, s11}, {s20, s21}, {s30, s31}};
    for (int r = 0; r < NI; ++r) {
        _mm256_storeu_pd(out + r * out_stride, res[r][0]);
        _mm256_storeu_pd(out + r * out_stride + 4, res[r][1]);
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
