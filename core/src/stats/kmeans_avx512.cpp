// AVX-512 kernels (packing by 16x16 transposes, distances, cluster sums): one zmm
// register holds component t of 16 packed rows.
// Multiplication and addition stay separate instructions (never a fused
// multiply-add of the square): each lane must round the square before adding it,
// exactly as the scalar definition does.
#include "kmeans_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
// GCC 12 reports its own _mm512_undefined_* placeholders inside the shuffle
// intrinsics as possibly uninitialised; the values are fully defined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace morvanta::kmeans_detail {

namespace {

constexpr std::size_t L = kAvx512Lanes;

inline __m512 unpacklo_pd(__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}
inline __m512 unpackhi_pd(__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}

// In-register transpose of 16 rows x 16 components into 16 component vectors.
inline void transpose16(__m512 r[16]) {
    __m512 t[16], u[16];
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
        const __m512 v0 = _mm512_shuffle_f32x4(u[j], u[j + 4], 0x88);
        const __m512 v1 = _mm512_shuffle_f32x4(u[j], u[j + 4], 0xDD);
        const __m512 v2 = _mm512_shuffle_f32x4(u[j + 8], u[j + 12], 0x88);
        const __m512 v3 = _mm512_shuffle_f32x4(u[j + 8], u[j + 12], 0xDD);
        r[j] = _mm512_shuffle_f32x4(v0, v2, 0x88);
        r[j + 8] = _mm512_shuffle_f32x4(v0, v2, 0xDD);
        r[j + 4] = _mm512_shuffle_f32x4(v1, v3, 0x88);
        r[j + 12] = _mm512_shuffle_f32x4(v1, v3, 0xDD);
    }
}

template <int CC, int RB>
inline void tile(const float* blocks, std::size_t d, const float* cent, float* out, std::size_t out_stride) {
    __m512 acc[CC][RB];
    for (int c = 0; c < CC; ++c)
        for (int r = 0; r < RB; ++r) acc[c][r] = _mm512_setzero_ps();
    const __m512 minus_one = _mm512_set1_ps(-1.0f);
    for (std::size_t t = 0; t < d; ++t) {
        __m512 x[RB];
        for (int r = 0; r < RB; ++r) x[r] = _mm512_load_ps(blocks + (r * d + t) * L);
        for (int c = 0; c < CC; ++c) {
            const __m512 b = _mm512_set1_ps(cent[c * d + t]);
            for (int r = 0; r < RB; ++r) {
                // With one block per tile, every other difference goes through the FMA
                // unit as b * -1 + x: the product is exact, so the single rounding gives
                // exactly x - b, and the adders (which take every accumulation) get
                // relief. With several blocks b is reused and the copies eat the gain.
                const __m512 diff = (RB == 1 && (c & 1)) ? _mm512_fmadd_ps(b, minus_one, x[r]) : _mm512_sub_ps(x[r], b);
                acc[c][r] = _mm512_add_ps(acc[c][r], _mm512_mul_ps(diff, diff));
            }
        }
    }
    for (int c = 0; c < CC; ++c)
        for (int r = 0; r < RB; ++r) _mm512_storeu_ps(out + c * out_stride + r * L, acc[c][r]);
}

// One block per tile unless a single centroid leaves too few independent
// accumulators to cover the add latency (shapes measured on Zen 4).
template <int CC>
inline void group(const float* packed, std::size_t nblocks, std::size_t d, const float* cent, float* out,
                  std::size_t out_stride) {
    constexpr int RB = CC == 1 ? 8 : 1;
    std::size_t b = 0;
    for (; b + RB <= nblocks; b += RB) tile<CC, RB>(packed + b * d * L, d, cent, out + b * L, out_stride);
    for (; b < nblocks; ++b) tile<CC, 1>(packed + b * d * L, d, cent, out + b * L, out_stride);
}

}  // namespace

void pack_avx512(ViewF32 data, std::size_t row0, std::size_t nrows, float* out) {
    const std::size_t d = data.cols;
    const std::size_t nblocks = (nrows + L - 1) / L;
    for (std::size_t b = 0; b < nblocks; ++b) {
        float* blk = out + b * d * L;
        const std::size_t valid = nrows - b * L < L ? nrows - b * L : L;
        if (valid < L) {
            for (std::size_t l = 0; l < L; ++l) {
                const float* r = l < valid ? data.row(row0 + b * L + l) : nullptr;
                for (std::size_t t = 0; t < d; ++t) blk[t * L + l] = r ? r[t] : 0.0f;
            }
            continue;
        }
        const float* rows[L];
        for (std::size_t l = 0; l < L; ++l) rows[l] = data.row(row0 + b * L + l);
        // Sixteen interleaved row streams defeat the hardware prefetcher; fetch the
        // matching line of the next block's rows while this one is transposed.
        const bool ahead = b + 1 < nblocks && nrows - (b + 1) * L >= L;
        std::size_t t0 = 0;
        for (; t0 + L <= d; t0 += L) {
            if (ahead)
                for (std::size_t l = 0; l < L; ++l)
                    _mm_prefetch(reinterpret_cast<const char*>(rows[l] + L * data.stride + t0), _MM_HINT_T0);
            __m512 r[16];
            for (std::size_t l = 0; l < L; ++l) r[l] = _mm512_loadu_ps(rows[l] + t0);
            transpose16(r);
            for (std::size_t j = 0; j < L; ++j) _mm512_store_ps(blk + (t0 + j) * L, r[j]);
        }
        for (; t0 < d; ++t0)
            for (std::size_t l = 0; l < L; ++l) blk[t0 * L + l] = rows[l][t0];
    }
}

void accumulate_avx512(const float* packed, std::size_t nrows, std::size_t d, const std::size_t* labels,
                      float* sums) {
    // Transposing a 16x16 tile back gives 16 components of each row; adding the
    // rows in lane order keeps every component's sum in row order.
    for (std::size_t b = 0; b * L < nrows; ++b) {
        const float* blk = packed + b * d * L;
        const std::size_t valid = nrows - b * L < L ? nrows - b * L : L;
        const std::size_t* lab = labels + b * L;
        std::size_t t0 = 0;
        for (; t0 + L <= d; t0 += L) {
            __m512 r[16];
            for (std::size_t j = 0; j < L; ++j) r[j] = _mm512_load_ps(blk + (t0 + j) * L);
            transpose16(r);
            for (std::size_t l = 0; l < valid; ++l) {
                float* dst = sums + lab[l] * d + t0;
                _mm512_storeu_ps(dst, _mm512_add_ps(_mm512_loadu_ps(dst), r[l]));
            }
        }
        for (std::size_t l = 0; l < valid; ++l) {
            float* dst = sums + lab[l] * d;
            for (std::size_t t = t0; t < d; ++t) dst[t] = dst[t] + blk[t * L + l];
        }
    }
}

void dist_avx512(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                 float* out, std::size_t out_stride) {
    for (std::size_t c0 = 0; c0 < k; c0 += 8) {
        const std::size_t cc = k - c0 < 8 ? k - c0 : 8;
        const float* cent = centroids + c0 * d;
        float* o = out + c0 * out_stride;
        switch (cc) {
            case 1: group<1>(packed, nblocks, d, cent, o, out_stride); break;
            case 2: group<2>(packed, nblocks, d, cent, o, out_stride); break;
            case 3: group<3>(packed, nblocks, d, cent, o, out_stride); break;
            case 4: group<4>(packed, nblocks, d, cent, o, out_stride); break;
            case 5: group<5>(packed, nblocks, d, cent, o, out_stride); break;
            case 6: group<6>(packed, nblocks, d, cent, o, out_stride); break;
            case 7: group<7>(packed, nblocks, d, cent, o, out_stride); break;
            default: group<8>(packed, nblocks, d, cent, o, out_stride); break;
        }
    }
}

}  // namespace morvanta::kmeans_detail

#endif
