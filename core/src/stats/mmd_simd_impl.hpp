// Squared-distance blocks written once over an ISA traits type `T`; included only
// by mmd_avx2.cpp and mmd_avx512.cpp, each of which defines its traits in an
// anonymous namespace. Every instantiation therefore has internal linkage and is
// compiled with the flags of the file that made it: no wide instruction can be
// merged into another file's object.
//
// One pair per double lane. A tile covers 2 * T::W packed rows as two vectors of
// W pairs (halves of one group when W < kMmdLanes, whole consecutive groups when
// W == kMmdLanes), so four rows keep eight independent accumulators in flight.
//
// T provides: F (W floats), D (W doubles), W, loadf, bcastf, subf, widen, fmadd,
// zero, store.
#pragma once

#include "mmd_simd.hpp"

namespace morvanta::mmd_detail {
namespace {

// One accumulator per (row, half); kept as named values because GCC spills
// arrays of vector registers to the stack on every iteration.
template <class T, int NI, int NH>
inline void simd_tile(const float* const* a, const float* p, std::size_t cols, double* out, std::size_t out_stride) {
    using F = typename T::F;
    using D = typename T::D;
    constexpr std::size_t W = T::W;
    static_assert(kMmdLanes % W == 0 || W % kMmdLanes == 0);
    // Packed row W of the tile: the second half of this group, or the next group.
    const float* p0 = p;
    const float* p1 = p + (W / kMmdLanes) * cols * kMmdLanes + W % kMmdLanes;
    const float* a0 = a[0];
    const float* a1 = NI > 1 ? a[1] : a[0];
    const float* a2 = NI > 2 ? a[2] : a[0];
    const float* a3 = NI > 3 ? a[3] : a[0];
    D s00 = T::zero(), s01 = s00, s10 = s00, s11 = s00;
    D s20 = s00, s21 = s00, s30 = s00, s31 = s00;
    auto step = [](F av, F b, D acc) {
        const D w = T::widen(T::subf(av, b));
        return T::fmadd(w, w, acc);  // exact square: same as acc + w*w
    };
    for (std::size_t t = 0; t < cols; ++t) {
        const F b0 = T::loadf(p0 + t * kMmdLanes);
        const F b1 = NH > 1 ? T::loadf(p1 + t * kMmdLanes) : b0;
        const F v0 = T::bcastf(a0 + t);
        s00 = step(v0, b0, s00);
        if constexpr (NH > 1) s01 = step(v0, b1, s01);
        if constexpr (NI > 1) {
            const F v1 = T::bcastf(a1 + t);
            s10 = step(v1, b0, s10);
            if constexpr (NH > 1) s11 = step(v1, b1, s11);
        }
        if constexpr (NI > 2) {
            const F v2 = T::bcastf(a2 + t);
            s20 = step(v2, b0, s20);
            if constexpr (NH > 1) s21 = step(v2, b1, s21);
        }
        if constexpr (NI > 3) {
            const F v3 = T::bcastf(a3 + t);
            s30 = step(v3, b0, s30);
            if constexpr (NH > 1) s31 = step(v3, b1, s31);
        }
    }
    const D res[4][2] = {{s00, s01}, {s10, s11}, {s20, s21}, {s30, s31}};
    for (int r = 0; r < NI; ++r)
        for (int h = 0; h < NH; ++h) T::store(out + r * out_stride + h * W, res[r][h]);
}

template <class T, int NI>
void simd_run(const float* const* a, const float* packed, std::size_t cols, std::size_t g_begin, std::size_t g_end,
              double* out, std::size_t out_stride) {
    // Groups per full tile; with one, no group is left over.
    constexpr std::size_t GT = 2 * T::W / kMmdLanes;
    std::size_t g = g_begin;
    for (; g + GT <= g_end; g += GT)
        simd_tile<T, NI, 2>(a, packed + g * cols * kMmdLanes, cols, out + (g - g_begin) * kMmdLanes, out_stride);
    if constexpr (GT > 1)
        if (g < g_end)
            simd_tile<T, NI, 1>(a, packed + g * cols * kMmdLanes, cols, out + (g - g_begin) * kMmdLanes, out_stride);
}

template <class T>
void simd_d2_block(const float* const* a, std::size_t ni, const float* packed, std::size_t cols, std::size_t g_begin,
                   std::size_t g_end, double* out, std::size_t out_stride) {
    switch (ni) {
        case 1: simd_run<T, 1>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 2: simd_run<T, 2>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 3: simd_run<T, 3>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 4: simd_run<T, 4>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        default: break;
    }
}

}  // namespace
}  // namespace morvanta::mmd_detail
