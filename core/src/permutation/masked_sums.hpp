// Label-masked sums over the pooled kernel matrix, the inner loop of the MMD
// permutations, compiled once per instruction set from one template. Each row's
// sum keeps eight interleaved partial sums combined in a fixed tree and the
// products and additions are separate steps, so every path gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvanta::permutation::detail {

// For every split q < count (at most 64) and every row i in [i0, i1) with labels[q][i] set:
// sxx[q] += sum over j < i of K(i, j) * masks[q * n_total + j], rows ascending.
// `lower` holds K(i, j), j < i, at i * (i - 1) / 2 + j.
using MaskedSumsFn = void (*)(const double* lower, std::size_t n_total, std::size_t i0, std::size_t i1,
                              const std::uint8_t* const* labels, const double* masks, std::size_t count, double* sxx);

void masked_sums_portable(const double*, std::size_t, std::size_t, std::size_t, const std::uint8_t* const*,
                          const double*, std::size_t, double*);
void masked_sums_avx2(const double*, std::size_t, std::size_t, std::size_t, const std::uint8_t* const*, const double*,
                      std::size_t, double*);
void masked_sums_avx512(const double*, std::size_t, std::size_t, std::size_t, const std::uint8_t* const*, const double*,
                        std::size_t, double*);

// The widest path the CPU runs.
MaskedSumsFn masked_sums_active();

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
// Internal linkage: each instruction-set file gets its own copies of the helpers
// below, never one chosen by the linker for all of them.
namespace {

// Eight double lanes; the compiler maps them onto whatever vectors the file's
// instruction set has. Lane-wise products and sums round exactly as scalar ones.
typedef double V8 __attribute__((vector_size(64)));

inline V8 load8(const double* p) noexcept {
    V8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline double reduce8(V8 a) noexcept { return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7])); }

// Sum over j < len of k[j] * a[j] in eight interleaved partial sums (lane j % 8).
inline double dot8(const double* k, const double* a, std::size_t len) noexcept {
    V8 acc = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t j = 0;
    for (; j + 8 <= len; j += 8) acc += load8(k + j) * load8(a + j);
    for (; j < len; ++j) acc[j & 7] += k[j] * a[j];
    return reduce8(acc);
}

// dot8 of one kernel row with four masks at once: four independent chains, the
// row read once; each result is bit-identical to its own dot8.
inline void dot8x4(const double* k, const double* const* a, std::size_t len, double* out) noexcept {
    V8 c0 = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}, c1 = c0, c2 = c0, c3 = c0;
    std::size_t j = 0;
    for (; j + 8 <= len; j += 8) {
        const V8 kv = load8(k + j);
        c0 += kv * load8(a[0] + j);
        c1 += kv * load8(a[1] + j);
        c2 += kv * load8(a[2] + j);
        c3 += kv * load8(a[3] + j);
    }
    for (; j < len; ++j) {
        c0[j & 7] += k[j] * a[0][j];
        c1[j & 7] += k[j] * a[1][j];
        c2[j & 7] += k[j] * a[2][j];
        c3[j & 7] += k[j] * a[3][j];
    }
    out[0] = reduce8(c0);
    out[1] = reduce8(c1);
    out[2] = reduce8(c2);
    out[3] = reduce8(c3);
}

inline void masked_sums_impl(const double* lower, std::size_t n_total, std::size_t i0, std::size_t i1,
                             const std::uint8_t* const* labels, const double* masks, std::size_t count, double* sxx) {
    std::size_t pick[64];
    const double* rows[4];
    double out[4];
    for (std::size_t i = i0; i < i1; ++i) {
        const double* k = lower + i * (i - 1) / 2;
        std::size_t np = 0;
        for (std::size_t q = 0; q < count && q < 64; ++q)
            if (labels[q][i]) pick[np++] = q;
        std::size_t t = 0;
        for (; t + 4 <= np; t += 4) {
            for (std::size_t r = 0; r < 4; ++r) rows[r] = masks + pick[t + r] * n_total;
            dot8x4(k, rows, i, out);
            for (std::size_t r = 0; r < 4; ++r) sxx[pick[t + r]] += out[r];
        }
        for (; t < np; ++t) sxx[pick[t]] += dot8(k, masks + pick[t] * n_total, i);
    }
}

}  // namespace
#pragma GCC diagnostic pop

}  // namespace morvanta::permutation::detail
