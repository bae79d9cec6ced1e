// Label-masked sums over the pooled kernel matrix, the inner loop of the MMD
// permutations, compiled once per instruction set from one template. Each row's
// sum keeps eight interleaved partial sums combined in a fixed tree and the
// products and additions are separate steps, so every path gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace morvanta::permutation::detail {

// For every split q < count (at most 64) and every row i in [i0, i1) with labels[q][i] set:
// sxx[q] += sum over j < i of K(i, j) taken where bit j of the split's mask is set,
// rows ascending. The mask of split q is bits[q * bit_stride ...], bit j % 8 of
// byte j / 8 set for baseline rows. `lower` holds K(i, j), j < i, at i * (i - 1) / 2 + j.
//
// A row's sum keeps eight partial sums, lane j % 8, combined in a fixed tree; a
// lane whose bit is clear adds nothing. That is the sum of K(i, j) * mask(j) with
// a 0/1 mask in the same order, because K >= 0 makes every skipped product +0.0
// (and a NaN kernel entry makes every MMD^2 NaN through the kernel's total anyway).
using MaskedSumsFn = void (*)(const double* lower, std::size_t i0, std::size_t i1, const std::uint8_t* const* labels,
                              const std::uint8_t* bits, std::size_t bit_stride, std::size_t count, double* sxx);

void masked_sums_portable(const double*, std::size_t, std::size_t, const std::uint8_t* const*, const std::uint8_t*,
                          std::size_t, std::size_t, double*);
void masked_sums_avx2(const double*, std::size_t, std::size_t, const std::uint8_t* const*, const std::uint8_t*,
                      std::size_t, std::size_t, double*);
void masked_sums_avx512(const double*, std::size_t, std::size_t, const std::uint8_t* const*, const std::uint8_t*,
                        std::size_t, std::size_t, double*);

// The widest path the CPU runs.
MaskedSumsFn masked_sums_active();

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
// Internal linkage: each instruction-set file gets its own copies of the helpers
// below, never one chosen by the linker for all of them.
namespace {

// Eight double lanes; the compiler maps them onto whatever vectors the file's
// instruction set has. Lane-wise sums round exactly as scalar ones.
typedef double V8 __attribute__((vector_size(64)));
typedef long long I8 __attribute__((vector_size(64)));

inline V8 load8(const double* p) noexcept {
    V8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline double reduce8(V8 a) noexcept { return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7])); }

// acc += the lanes of k whose bit is set in `byte` (+0.0 in the others).
__attribute__((always_inline)) inline void add_selected(V8& acc, const V8& k, unsigned byte) noexcept {
#if defined(__AVX512F__)
    acc = V8(_mm512_mask_add_pd(__m512d(acc), static_cast<__mmask8>(byte), __m512d(acc), __m512d(k)));
#else
    const I8 lane_bit = {1, 2, 4, 8, 16, 32, 64, 128};
    const I8 b = I8{} + static_cast<long long>(byte);
    const I8 keep = (b & lane_bit) != 0;
    acc += V8(I8(k) & keep);
#endif
}

// One kernel row's selected sum over j < len for every mask of `bits` (N masks at
// once, the row read once): N independent chains, each the same bits as alone.
template <int N>
inline void row_sums(const double* k, const std::uint8_t* const* bits, std::size_t len, double* out) noexcept {
    V8 c[N];
    for (int r = 0; r < N; ++r) c[r] = V8{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t j = 0;
    for (; j + 8 <= len; j += 8) {
        const V8 kv = load8(k + j);
        for (int r = 0; r < N; ++r) add_selected(c[r], kv, bits[r][j >> 3]);
    }
    for (; j < len; ++j)
        for (int r = 0; r < N; ++r)
            if ((bits[r][j >> 3] >> (j & 7)) & 1u) c[r][j & 7] += k[j];
    for (int r = 0; r < N; ++r) out[r] = reduce8(c[r]);
}

inline void masked_sums_impl(const double* lower, std::size_t i0, std::size_t i1, const std::uint8_t* const* labels,
                             const std::uint8_t* bits, std::size_t bit_stride, std::size_t count, double* sxx) {
    std::size_t pick[64];
    const std::uint8_t* rows[8];
    double out[8];
    for (std::size_t i = i0; i < i1; ++i) {
        const double* k = lower + i * (i - 1) / 2;
        std::size_t np = 0;
        for (std::size_t q = 0; q < count && q < 64; ++q)
            if (labels[q][i]) pick[np++] = q;
        std::size_t t = 0;
        // Eight masks per pass over the row keep eight independent chains of adds in flight.
        for (; t + 8 <= np; t += 8) {
            for (std::size_t r = 0; r < 8; ++r) rows[r] = bits + pick[t + r] * bit_stride;
            row_sums<8>(k, rows, i, out);
            for (std::size_t r = 0; r < 8; ++r) sxx[pick[t + r]] += out[r];
        }
        for (; t + 4 <= np; t += 4) {
            for (std::size_t r = 0; r < 4; ++r) rows[r] = bits + pick[t + r] * bit_stride;
            row_sums<4>(k, rows, i, out);
            for (std::size_t r = 0; r < 4; ++r) sxx[pick[t + r]] += out[r];
        }
        for (; t < np; ++t) {
            rows[0] = bits + pick[t] * bit_stride;
            row_sums<1>(k, rows, i, out);
            sxx[pick[t]] += out[0];
        }
    }
}

}  // namespace
#pragma GCC diagnostic pop

}  // namespace morvanta::permutation::detail
