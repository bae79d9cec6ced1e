// Pairwise squared-distance blocks behind mmd_rbf, one implementation per
// instruction set. Internal to the kernel (and its tests).
//
// The other sample is packed in groups of kMmdLanes rows, transposed: element t of
// row g*kMmdLanes + l sits at packed[(g*cols + t)*kMmdLanes + l], so one load gives
// component t of kMmdLanes rows. Each lane is one pair and keeps that pair's order
// of components: d2 = sum over t ascending of double(a_t - b_t)^2, the difference
// rounded to float, each step rounded on its own. The square of a widened float is
// exact, so fma(d, d, s) equals s + d*d and the paths agree bit for bit.
#pragma once

#include <cstddef>

namespace morvanta::mmd_detail {

inline constexpr std::size_t kMmdLanes = 8;
inline constexpr std::size_t kMmdRows = 4;  // rows of one block call, at most

// Squared distances of rows a[0..ni) (ni <= kMmdRows, each `cols` contiguous
// floats) to the packed rows of groups [g_begin, g_end); the value for row r and
// packed row (g_begin + q)*kMmdLanes + l goes to out[r*out_stride + q*kMmdLanes + l].
using BlockFn = void (*)(const float* const* a, std::size_t ni, const float* packed, std::size_t cols,
                         std::size_t g_begin, std::size_t g_end, double* out, std::size_t out_stride);

void d2_block_portable(const float* const* a, std::size_t ni, const float* packed, std::size_t cols,
                       std::size_t g_begin, std::size_t g_end, double* out, std::size_t out_stride);
void d2_block_avx2(const float* const* a, std::size_t ni, const float* packed, std::size_t cols, std::size_t g_begin,
                   std::size_t g_end, double* out, std::size_t out_stride);
void d2_block_avx512(const float* const* a, std::size_t ni, const float* packed, std::size_t cols, std::size_t g_begin,
                     std::size_t g_end, double* out, std::size_t out_stride);

// The block function of the active path.
BlockFn d2_block_active();

}  // namespace morvanta::mmd_detail
