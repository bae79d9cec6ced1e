// AVX2 projection: 8 rows per block, four directions per pass. The algorithm is
// in wasserstein_simd_impl.hpp; this file supplies the AVX2 operations.
#include <immintrin.h>

#include <algorithm>

#include "wasserstein_simd_impl.hpp"

namespace morvanta::wasserstein_detail {

namespace {

struct Avx2 {
    using D = __m256d;
    static constexpr std::size_t W = 4;

    static D zero() { return _mm256_setzero_pd(); }
    static D widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static D bcast(const double* p) { return _mm256_broadcast_sd(p); }
    static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }

    // Component k of the four rows r[0..4) goes to o + k * 8.
    static void transpose_store(const D r[4], double* o) {
        const D t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
        const D t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
        _mm256_storeu_pd(o, _mm256_permute2f128_pd(t0, t2, 0x20));
        _mm256_storeu_pd(o + 8, _mm256_permute2f128_pd(t1, t3, 0x20));
        _mm256_storeu_pd(o + 16, _mm256_permute2f128_pd(t0, t2, 0x31));
        _mm256_storeu_pd(o + 24, _mm256_permute2f128_pd(t1, t3, 0x31));
    }

    using Tail = std::size_t;
    static Tail tail(std::size_t nl) { return nl; }
    static void store_rows(double* o, D a, D b, Tail nl) {
        if (nl == 2 * W) {
            _mm256_storeu_pd(o, a);
            _mm256_storeu_pd(o + 4, b);
        } else {
            alignas(32) double lane[2 * W];
            _mm256_store_pd(lane, a);
            _mm256_store_pd(lane + 4, b);
            std::copy(lane, lane + nl, o);
        }
    }
};

}  // namespace

void project_avx2(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride) {
    simd_project<Avx2>(x, w, n_dirs, out, out_stride);
}

}  // namespace morvanta::wasserstein_detail
