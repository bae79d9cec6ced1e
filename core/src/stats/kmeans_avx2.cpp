// AVX2 kernels (packing by 8x8 transposes, distances, cluster sums): one ymm
// register holds component t of 8 packed rows. The algorithms are in
// kmeans_simd_impl.hpp; this file supplies the AVX2 operations.
#include "kmeans_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "kmeans_simd_impl.hpp"

namespace morvanta::kmeans_detail {

namespace {

struct Avx2 {
    using V = __m256;
    static constexpr std::size_t L = kAvx2Lanes;
    // Enough independent accumulators to cover the add latency, within 16 registers
    // (shapes measured on Zen 4).
    static constexpr int rows_per_tile(int cc) { return cc == 1 ? 8 : cc == 2 ? 4 : cc <= 4 ? 2 : 1; }

    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float v) { return _mm256_set1_ps(v); }
    static V load(const float* p) { return _mm256_load_ps(p); }
    static V loadu(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_store_ps(p, v); }
    static void storeu(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }

    // In-register transpose of 8 rows x 8 components into 8 component vectors.
    static void transpose(V r[8]) {
        V t[8], u[8];
        for (int i = 0; i < 4; ++i) {
            t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
        }
        for (int h = 0; h < 2; ++h) {
            const int o = 4 * h;
            u[o + 0] = _mm256_shuffle_ps(t[o + 0], t[o + 2], 0x44);
            u[o + 1] = _mm256_shuffle_ps(t[o + 0], t[o + 2], 0xEE);
            u[o + 2] = _mm256_shuffle_ps(t[o + 1], t[o + 3], 0x44);
            u[o + 3] = _mm256_shuffle_ps(t[o + 1], t[o + 3], 0xEE);
        }
        for (int j = 0; j < 4; ++j) {
            r[j] = _mm256_permute2f128_ps(u[j], u[j + 4], 0x20);
            r[j + 4] = _mm256_permute2f128_ps(u[j], u[j + 4], 0x31);
        }
    }
};

}  // namespace

void pack_avx2(ViewF32 data, std::size_t row0, std::size_t nrows, float* out) {
    simd_pack<Avx2>(data, row0, nrows, out);
}

void accumulate_avx2(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin, std::size_t t_end,
                     const std::size_t* labels, float* sums) {
    simd_accumulate<Avx2>(packed, nrows, d, t_begin, t_end, labels, sums);
}

void dist_avx2(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
               float* out, std::size_t out_stride) {
    simd_dist<Avx2>(packed, nblocks, d, centroids, k, out, out_stride);
}

}  // namespace morvanta::kmeans_detail

#endif
