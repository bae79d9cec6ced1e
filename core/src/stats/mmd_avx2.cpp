// AVX2 squared-distance blocks: each group of 8 packed rows taken as two halves
// of 4 doubles. The algorithm is in mmd_simd_impl.hpp; this file supplies the
// AVX2 operations.
#include <immintrin.h>

#include "mmd_simd_impl.hpp"

namespace morvanta::mmd_detail {
namespace {

struct Avx2 {
    using F = __m128;
    using D = __m256d;
    static constexpr std::size_t W = 4;

    static F loadf(const float* p) { return _mm_loadu_ps(p); }
    static F bcastf(const float* p) { return _mm_broadcast_ss(p); }
    static F subf(F a, F b) { return _mm_sub_ps(a, b); }
    static D widen(F v) { return _mm256_cvtps_pd(v); }
    static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D zero() { return _mm256_setzero_pd(); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
};

}  // namespace

void d2_block_avx2(const float* const* a, std::size_t ni, const float* packed, std::size_t cols, std::size_t g_begin,
                   std::size_t g_end, double* out, std::size_t out_stride) {
    simd_d2_block<Avx2>(a, ni, packed, cols, g_begin, g_end, out, out_stride);
}

}  // namespace morvanta::mmd_detail
