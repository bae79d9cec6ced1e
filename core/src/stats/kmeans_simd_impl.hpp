// Packing, distance and cluster-sum kernels written once over an ISA traits type
// `T`; included only by kmeans_avx2.cpp and kmeans_avx512.cpp, each of which
// defines its traits in an anonymous namespace. Every instantiation therefore has
// internal linkage and is compiled with the flags of the file that made it: no
// wide instruction can be merged into another file's object.
//
// T provides: V (vector of floats), L (lanes), rows_per_tile(cc) (register
// blocking for cc centroids), zero/set1/load/loadu/store/storeu/add/sub/mul/
// fmadd, and transpose(V[L]) (in-register transpose of L rows x L components).
//
// Multiplication and addition stay separate instructions (never a fused
// multiply-add of the square): each lane must round the square before adding it,
// exactly as the scalar definition does.
#pragma once

#include <immintrin.h>

#include "kmeans_kernels.hpp"

namespace morvanta::kmeans_detail {
namespace {

template <class T, int CC, int RB>
inline void simd_tile(const float* blocks, std::size_t d, const float* cent, float* out, std::size_t out_stride) {
    using V = typename T::V;
    constexpr std::size_t L = T::L;
    V acc[CC][RB];
    for (int c = 0; c < CC; ++c)
        for (int r = 0; r < RB; ++r) acc[c][r] = T::zero();
    const V minus_one = T::set1(-1.0f);
    for (std::size_t t = 0; t < d; ++t) {
        V x[RB];
        for (int r = 0; r < RB; ++r) x[r] = T::load(blocks + (r * d + t) * L);
        for (int c = 0; c < CC; ++c) {
            // set1 rather than a broadcast from memory: with the pointer form GCC
            // kept the accumulators in memory.
            const V b = T::set1(cent[c * d + t]);
            for (int r = 0; r < RB; ++r) {
                // With one block per tile, every other difference goes through the FMA
                // unit as b * -1 + x: the product is exact, so the single rounding gives
                // exactly x - b, and the adders (which take every accumulation) get
                // relief. With several blocks b is reused and the copies eat the gain.
                const V diff = (RB == 1 && (c & 1)) ? T::fmadd(b, minus_one, x[r]) : T::sub(x[r], b);
                acc[c][r] = T::add(acc[c][r], T::mul(diff, diff));
            }
        }
    }
    for (int c = 0; c < CC; ++c)
        for (int r = 0; r < RB; ++r) T::storeu(out + c * out_stride + r * L, acc[c][r]);
}

template <class T, int CC>
inline void simd_group(const float* packed, std::size_t nblocks, std::size_t d, const float* cent, float* out,
                       std::size_t out_stride) {
    constexpr std::size_t L = T::L;
    constexpr int RB = T::rows_per_tile(CC);
    std::size_t b = 0;
    for (; b + RB <= nblocks; b += RB) simd_tile<T, CC, RB>(packed + b * d * L, d, cent, out + b * L, out_stride);
    for (; b < nblocks; ++b) simd_tile<T, CC, 1>(packed + b * d * L, d, cent, out + b * L, out_stride);
}

template <class T>
inline void simd_pack(ViewF32 data, std::size_t row0, std::size_t nrows, float* out) {
    using V = typename T::V;
    constexpr std::size_t L = T::L;
    constexpr std::size_t kLine = 64 / sizeof(float);  // components per cache line
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
        // Interleaved row streams defeat the hardware prefetcher; fetch one line of
        // each of the next block's rows per cache line of components transposed here.
        const bool ahead = b + 1 < nblocks && nrows - (b + 1) * L >= L;
        std::size_t t0 = 0;
        for (; t0 + L <= d; t0 += L) {
            if (ahead && (L % kLine == 0 || t0 % kLine == 0))
                for (std::size_t l = 0; l < L; ++l)
                    _mm_prefetch(reinterpret_cast<const char*>(rows[l] + L * data.stride + t0), _MM_HINT_T0);
            V r[L];
            for (std::size_t l = 0; l < L; ++l) r[l] = T::loadu(rows[l] + t0);
            T::transpose(r);
            for (std::size_t j = 0; j < L; ++j) T::store(blk + (t0 + j) * L, r[j]);
        }
        for (; t0 < d; ++t0)
            for (std::size_t l = 0; l < L; ++l) blk[t0 * L + l] = rows[l][t0];
    }
}

template <class T>
inline void simd_accumulate(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin,
                            std::size_t t_end, const std::size_t* labels, float* sums) {
    using V = typename T::V;
    constexpr std::size_t L = T::L;
    // Transposing an L x L tile back gives L components of each row; adding the
    // rows in lane order keeps every component's sum in row order.
    for (std::size_t b = 0; b * L < nrows; ++b) {
        const float* blk = packed + b * d * L;
        const std::size_t valid = nrows - b * L < L ? nrows - b * L : L;
        const std::size_t* lab = labels + b * L;
        std::size_t t0 = t_begin;
        for (; t0 + L <= t_end; t0 += L) {
            V r[L];
            for (std::size_t j = 0; j < L; ++j) r[j] = T::load(blk + (t0 + j) * L);
            T::transpose(r);
            for (std::size_t l = 0; l < valid; ++l) {
                float* dst = sums + lab[l] * d + t0;
                T::storeu(dst, T::add(T::loadu(dst), r[l]));
            }
        }
        for (std::size_t l = 0; l < valid; ++l) {
            float* dst = sums + lab[l] * d;
            for (std::size_t t = t0; t < t_end; ++t) dst[t] = dst[t] + blk[t * L + l];
        }
    }
}

template <class T>
inline void simd_dist(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                      float* out, std::size_t out_stride) {
    for (std::size_t c0 = 0; c0 < k; c0 += 8) {
        const std::size_t cc = k - c0 < 8 ? k - c0 : 8;
        const float* cent = centroids + c0 * d;
        float* o = out + c0 * out_stride;
        switch (cc) {
            case 1: simd_group<T, 1>(packed, nblocks, d, cent, o, out_stride); break;
            case 2: simd_group<T, 2>(packed, nblocks, d, cent, o, out_stride); break;
            case 3: simd_group<T, 3>(packed, nblocks, d, cent, o, out_stride); break;
            case 4: simd_group<T, 4>(packed, nblocks, d, cent, o, out_stride); break;
            case 5: simd_group<T, 5>(packed, nblocks, d, cent, o, out_stride); break;
            case 6: simd_group<T, 6>(packed, nblocks, d, cent, o, out_stride); break;
            case 7: simd_group<T, 7>(packed, nblocks, d, cent, o, out_stride); break;
            default: simd_group<T, 8>(packed, nblocks, d, cent, o, out_stride); break;
        }
    }
}

}  // namespace
}  // namespace morvanta::kmeans_detail
