// AVX-512 projection: 16 rows per block, eight directions per pass. The algorithm
// is in wasserstein_simd_impl.hpp; this file supplies the AVX-512 operations.
// GCC 12 reports its own _mm512_undefined_pd() placeholders inside the intrinsic
// headers as "maybe uninitialized"; the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "wasserstein_simd_impl.hpp"

namespace morvanta::wasserstein_detail {

namespace {

struct Avx512 {
    using D = __m512d;
    static constexpr std::size_t W = 8;

    static D zero() { return _mm512_setzero_pd(); }
    static D widen(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static D bcast(const double* p) { return _mm512_set1_pd(*p); }
    static D fmadd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }

    // Component k of the eight rows r[0..8) goes to o + k * 16.
    static void transpose_store(const D rows[8], double* o) {
        const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        D t[8], u[8];
        for (int k = 0; k < 4; ++k) {
            t[2 * k] = _mm512_unpacklo_pd(rows[2 * k], rows[2 * k + 1]);
            t[2 * k + 1] = _mm512_unpackhi_pd(rows[2 * k], rows[2 * k + 1]);
        }
        // u[0]: columns 0 and 4 of rows 0-3; u[1]: 1 and 5; u[2]: 2 and 6; u[3]: 3 and 7; u[4..7] rows 4-7.
        for (int h = 0; h < 2; ++h) {
            u[4 * h + 0] = _mm512_permutex2var_pd(t[4 * h + 0], lo, t[4 * h + 2]);
            u[4 * h + 1] = _mm512_permutex2var_pd(t[4 * h + 1], lo, t[4 * h + 3]);
            u[4 * h + 2] = _mm512_permutex2var_pd(t[4 * h + 0], hi, t[4 * h + 2]);
            u[4 * h + 3] = _mm512_permutex2var_pd(t[4 * h + 1], hi, t[4 * h + 3]);
        }
        for (int k = 0; k < 4; ++k) {
            _mm512_storeu_pd(o + k * 16, _mm512_shuffle_f64x2(u[k], u[k + 4], 0x44));
            _mm512_storeu_pd(o + (k + 4) * 16, _mm512_shuffle_f64x2(u[k], u[k + 4], 0xEE));
        }
    }

    // Store masks of the two halves, worked out once per block.
    struct Tail {
        __mmask8 m0, m1;
    };
    static Tail tail(std::size_t nl) {
        return {static_cast<__mmask8>(nl >= 8 ? 0xFF : (1u << nl) - 1),
                static_cast<__mmask8>(nl >= 16  ? 0xFF
                                      : nl <= 8 ? 0
                                                : (1u << (nl - 8)) - 1)};
    }
    static void store_rows(double* o, D a, D b, Tail m) {
        _mm512_mask_storeu_pd(o, m.m0, a);
        _mm512_mask_storeu_pd(o + 8, m.m1, b);
    }
};

}  // namespace

void project_avx512(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride) {
    simd_project<Avx512>(x, w, n_dirs, out, out_stride);
}

}  // namespace morvanta::wasserstein_detail
