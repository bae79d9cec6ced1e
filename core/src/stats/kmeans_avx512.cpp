// AVX-512 kernels (packing by 16x16 transposes, distances, cluster sums): one zmm
// register holds component t of 16 packed rows. The algorithms are in
// kmeans_simd_impl.hpp; this file supplies the AVX-512 operations.
#include "kmeans_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// GCC 12 reports its own _mm512_undefined_* placeholders inside the shuffle
// intrinsics as possibly uninitialised; the values are fully defined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "kmeans_simd_impl.hpp"

namespace morvanta::kmeans_detail {

namespace {

inline __m512 unpacklo_pd(__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}
inline __m512 unpackhi_pd(__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}

struct Avx512 {
    using V = __m512;
    static constexpr std::size_t L = kAvx512Lanes;
    // One block per tile unless a single centroid leaves too few independent
    // accumulators to cover the add latency (shapes measured on Zen 4).
    static constexpr int rows_per_tile(int cc) { return cc == 1 ? 8 : 1; }

    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float v) { return _mm512_set1_ps(v); }
    static V load(const float* p) { return _mm512_load_ps(p); }
    static V loadu(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_store_ps(p, v); }
    static void storeu(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V fmadd(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }

    // In-register transpose of 16 rows x 16 components into 16 component vectors.
    static void transpose(V r[16]) {
        V t[16], u[16];
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
        }
        // u[4q + j] holds components j, j+4, j+8, j+12 (one per 128-bit lane) of rows 4q..4q+3.
        for (int q = 0; q < 4; ++q) {
            const int o = 4 * q;
            u[o + 0] = unpacklo_pd(t[o + 0], t[o + 2]);
            u[o + 1] = unpackhi_pd(t[o + 0], t[o + 2]);
            u[o + 2] = unpacklo_pd(t[o + 1], t[o + 3]);
            u[o + 3] = unpackhi_pd(t[o + 1], t[o + 3]);
        }
        for (int j = 0; j < 4; ++j) {
            const V v0 = _mm512_shuffle_f32x4(u[j], u[j + 4], 0x88);
            const V v1 = _mm512_shuffle_f32x4(u[j], u[j + 4], 0xDD);
            const V v2 = _mm512_shuffle_f32x4(u[j + 8], u[j + 12], 0x88);
            const V v3 = _mm512_shuffle_f32x4(u[j + 8], u[j + 12], 0xDD);
            r[j] = _mm512_shuffle_f32x4(v0, v2, 0x88);
            r[j + 8] = _mm512_shuffle_f32x4(v0, v2, 0xDD);
            r[j + 4] = _mm512_shuffle_f32x4(v1, v3, 0x88);
            r[j + 12] = _mm512_shuffle_f32x4(v1, v3, 0xDD);
        }
    }
};

}  // namespace

void pack_avx512(ViewF32 data, std::size_t row0, std::size_t nrows, float* out) {
    simd_pack<Avx512>(data, row0, nrows, out);
}

void accumulate_avx512(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin, std::size_t t_end,
                       const std::size_t* labels, float* sums) {
    simd_accumulate<Avx512>(packed, nrows, d, t_begin, t_end, labels, sums);
}

void dist_avx512(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                 float* out, std::size_t out_stride) {
    simd_dist<Avx512>(packed, nblocks, d, centroids, k, out, out_stride);
}

}  // namespace morvanta::kmeans_detail

#endif
