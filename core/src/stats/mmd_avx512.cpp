// AVX-512 squared-distance blocks: 8 doubles per vector, so one packed group per
// vector and two groups per pass. The algorithm is in mmd_simd_impl.hpp; this
// file supplies the AVX-512 operations.
#include <immintrin.h>

// GCC 12's _mm512_cvtps_pd starts from a self-initialised "undefined" register
// and warns about it at every use; the value is fully overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "mmd_simd_impl.hpp"

namespace morvanta::mmd_detail {
namespace {

struct Avx512 {
    using F = __m256;
    using D = __m512d;
    static constexpr std::size_t W = 8;

    static F loadf(const float* p) { return _mm256_loadu_ps(p); }
    static F bcastf(const float* p) { return _mm256_broadcast_ss(p); }
    static F subf(F a, F b) { return _mm256_sub_ps(a, b); }
    static D widen(F v) { return _mm512_cvtps_pd(v); }
    static D fmadd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D zero() { return _mm512_setzero_pd(); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
};

}  // namespace

void d2_block_avx512(const float* const* a, std::size_t ni, const float* packed, std::size_t cols, std::size_t g_begin,
                     std::size_t g_end, double* out, std::size_t out_stride) {
    simd_d2_block<Avx512>(a, ni, packed, cols, g_begin, g_end, out, out_stride);
}

}  // namespace morvanta::mmd_detail
