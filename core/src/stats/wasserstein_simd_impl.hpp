// The projection kernel written once over an ISA traits type `T`; included only
// by wasserstein_avx2.cpp and wasserstein_avx512.cpp, each of which defines its
// traits in an anonymous namespace. Every instantiation therefore has internal
// linkage and is compiled with the flags of the file that made it: no wide
// instruction can be merged into another file's object.
//
// Each vector lane is one row, so every row keeps its own ascending-component
// sum; a block of 2 * T::W rows is transposed once and then projected onto the
// directions T::W at a time.
//
// T provides: D (vector of W doubles), W, zero(), widen(p) (W floats at p as
// doubles), transpose_store(r, o) (stores component k of rows r[0..W) to
// o + k * 2W), load, bcast, fmadd, and Tail / tail(nl) / store_rows(o, a, b, tail)
// writing the first nl of the 2W lanes held in a, b.
#pragma once

#include <algorithm>
#include <vector>

#include "wasserstein_kernels.hpp"

namespace morvanta::wasserstein_detail {
namespace {

// t[c * 2W + l] = x(r0 + l, c) widened to double; lanes past the last row are zero.
template <class T>
void simd_transpose_block(ViewF32 x, std::size_t r0, std::size_t nl, double* t) noexcept {
    using D = typename T::D;
    constexpr std::size_t W = T::W, L = 2 * W;
    const std::size_t d = x.cols;
    const float* rowp[L];
    for (std::size_t l = 0; l < L; ++l) rowp[l] = l < nl ? x.row(r0 + l) : nullptr;
    std::size_t c = 0;
    for (; c + W <= d; c += W) {
        for (std::size_t h = 0; h < 2; ++h) {
            D r[W];
            for (std::size_t k = 0; k < W; ++k) {
                const float* p = rowp[W * h + k];
                r[k] = p ? T::widen(p + c) : T::zero();
            }
            T::transpose_store(r, t + c * L + W * h);
        }
    }
    for (; c < d; ++c)
        for (std::size_t l = 0; l < L; ++l) t[c * L + l] = rowp[l] ? static_cast<double>(rowp[l][c]) : 0.0;
}

template <class T>
void simd_project(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride) {
    using D = typename T::D;
    constexpr std::size_t W = T::W;
    constexpr std::size_t L = 2 * W;  // rows per block: two vectors of W doubles
    constexpr std::size_t G = W;      // directions per pass over a block
    const std::size_t d = x.cols, rows = x.rows;
    const std::vector<double> packed = pack_directions(w, n_dirs, d, G);
    std::vector<double> t(d * L);

    for (std::size_t r0 = 0; r0 < rows; r0 += L) {
        const std::size_t nl = std::min(L, rows - r0);
        simd_transpose_block<T>(x, r0, nl, t.data());
        const typename T::Tail tail = T::tail(nl);
        for (std::size_t g = 0; g * G < n_dirs; ++g) {
            const double* wg = packed.data() + g * d * G;
            D a[G], b[G];
#pragma GCC unroll 8
            for (std::size_t q = 0; q < G; ++q) a[q] = b[q] = T::zero();
            for (std::size_t c = 0; c < d; ++c) {
                const D x0 = T::load(t.data() + c * L);
                const D x1 = T::load(t.data() + c * L + W);
                const double* wc = wg + c * G;
#pragma GCC unroll 8
                for (std::size_t q = 0; q < G; ++q) {
                    // Exact product of two widened floats: fusing adds no rounding.
                    const D wq = T::bcast(wc + q);
                    a[q] = T::fmadd(x0, wq, a[q]);
                    b[q] = T::fmadd(x1, wq, b[q]);
                }
            }
            // Unrolled with constant indices so the accumulators stay in registers.
            const std::size_t qn = std::min(G, n_dirs - g * G);
#pragma GCC unroll 8
            for (std::size_t q = 0; q < G; ++q)
                if (q < qn) T::store_rows(out + (g * G + q) * out_stride + r0, a[q], b[q], tail);
        }
    }
}

}  // namespace
}  // namespace morvanta::wasserstein_detail
