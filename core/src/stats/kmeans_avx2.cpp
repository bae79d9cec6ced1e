// AVX2 kernels (packing by 8x8 transposes, distances, cluster sums): one ymm
// register holds component t of 8 packed rows.
// Multiplication and addition stay separate instructions (never a fused
// multiply-add of the square): each lane must round the square before adding it,
// exactly as the scalar definition does.
#include "kmeans_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace morvanta::kmeans_detail {

namespace {

constexpr std::size_t L = kAvx2Lanes;

// In-register transpose of 8 rows x 8 components into 8 component vectors.
inline void transpose8(__m256 r[8]) {
    __m256 t[8], u[8];
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

template <int CC, int RB>
inline void tile(const float* blocks, std::size_t d, const float* cent, float* out, std::size_t out_stride) {
    __m256 acc[CC][RB];
    for (int c = 0; c < CC; ++c)
        for (int r = 0; r < RB; ++r) acc[c][r] = _mm256_setzero_ps();
    const __m256 minus_one = _mm256_set1_ps(-1.0f);
    for (std::size_t t = 0; t < d; ++t) {
        __m256 x[RB];
        for (int r = 0; r < RB; ++r) x[r] = _mm256_load_ps(blocks + (r * d + t) * L);
        for (int c = 0; c < CC; ++c) {
            // set1 rather than _mm256_broadcast_ss: with the pointer form GCC kept the
            // accumulators in memory.
            const __m256 b = _mm256_set1_ps(cent[c * d + t]);
            for (int r = 0; r < RB; ++r) {
                // With one block per tile, every other difference goes through the FMA
                // unit as b * -1 + x: the product is exact, so the single rounding gives
                // exactly x - b, and the adders (which take every accumulation) get
                // relief. With several blocks b is reused and the copies eat the gain.
                const __m256 diff = (RB == 1 && (c & 1)) ? _mm256_fmadd_ps(b, minus_one, x[r]) : _mm256_sub_ps(x[r], b);
                acc[c][r] = _mm256_add_ps(acc[c][r], _mm256_mul_ps(diff, diff));
            }
        }
    }
    for (int c = 0; c < CC; ++c)
        for (int r = 0; r < RB; ++r) _mm256_storeu_ps(out + c * out_stride + r * L, acc[c][r]);
}

// Enough independent accumulators to cover the add latency, within 16 registers
// (shapes measured on Zen 4).
template <int CC>
inline void group(const float* packed, std::size_t nblocks, std::size_t d, const float* cent, float* out,
                  std::size_t out_stride) {
    constexpr int RB = CC == 1 ? 8 : CC == 2 ? 4 : CC <= 4 ? 2 : 1;
    std::size_t b = 0;
    for (; b + RB <= nblocks; b += RB) tile<CC, RB>(packed + b * d * L, d, cent, out + b * L, out_stride);
    for (; b < nblocks; ++b) tile<CC, 1>(packed + b * d * L, d, cent, out + b * L, out_stride);
}

}  // namespace

void pack_avx2(ViewF32 data, std::size_t row0, std::size_t nrows, float* out) {
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
        // Interleaved row streams defeat the hardware prefetcher; fetch the next
        // block's rows (one line per two 8-component steps) while this one is transposed.
        const bool ahead = b + 1 < nblocks && nrows - (b + 1) * L >= L;
        std::size_t t0 = 0;
        for (; t0 + L <= d; t0 += L) {
            if (ahead && t0 % 16 == 0)
                for (std::size_t l = 0; l < L; ++l)
                    _mm_prefetch(reinterpret_cast<const char*>(rows[l] + L * data.stride + t0), _MM_HINT_T0);
            __m256 r[8];
            for (std::size_t l = 0; l < L; ++l) r[l] = _mm256_loadu_ps(rows[l] + t0);
            transpose8(r);
            for (std::size_t j = 0; j < L; ++j) _mm256_store_ps(blk + (t0 + j) * L, r[j]);
        }
        for (; t0 < d; ++t0)
            for (std::size_t l = 0; l < L; ++l) blk[t0 * L + l] = rows[l][t0];
    }
}

void accumulate_avx2(const float* packed, std::size_t nrows, std::size_t d, const std::size_t* labels,
                      float* sums) {
    // Transposing a 8x8 tile back gives 8 components of each row; adding the
    // rows in lane order keeps every component's sum in row order.
    for (std::size_t b = 0; b * L < nrows; ++b) {
        const float* blk = packed + b * d * L;
        const std::size_t valid = nrows - b * L < L ? nrows - b * L : L;
        const std::size_t* lab = labels + b * L;
        std::size_t t0 = 0;
        for (; t0 + L <= d; t0 += L) {
            __m256 r[8];
            for (std::size_t j = 0; j < L; ++j) r[j] = _mm256_load_ps(blk + (t0 + j) * L);
            transpose8(r);
            for (std::size_t l = 0; l < valid; ++l) {
                float* dst = sums + lab[l] * d + t0;
                _mm256_storeu_ps(dst, _mm256_add_ps(_mm256_loadu_ps(dst), r[l]));
            }
        }
        for (std::size_t l = 0; l < valid; ++l) {
            float* dst = sums + lab[l] * d;
            for (std::size_t t = t0; t < d; ++t) dst[t] = dst[t] + blk[t * L + l];
        }
    }
}

void dist_avx2(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
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
