// Distance kernels behind kmeans/assign_clusters, one set per instruction set.
//
// Rows are processed in chunks. A chunk is first packed into blocks of `lanes`
// rows stored component-major (packed[(b * D + t) * lanes + l] = component t of
// row b * lanes + l; lanes past the last row are zero), so that one vector holds
// component t of several rows. Every lane then accumulates its own squared
// distance in ascending component order with separately rounded 32-bit
// subtraction, multiplication and addition, which is exactly the scalar
// definition; the paths differ in speed only and must agree bit for bit.
//
// The SIMD translation units only see the plain function declarations below;
// nothing inline or templated is shared with them, so no wide instruction can
// leak into code that runs on machines without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#include "../error.hpp"
#include "../matrix.hpp"
#include "../simd.hpp"
#include "kmeans.hpp"

namespace morvanta::kmeans_detail {

using Path = SimdPath;

// Whether the running CPU (and OS) can execute the path.
inline bool path_available(Path p) noexcept { return simd_supported(p); }
// The widest available path; what kmeans and assign_clusters use.
inline Path best_path() noexcept { return simd_best(); }
inline const char* path_name(Path p) noexcept { return simd_name(p); }

// Reference squared distance: sequential, 32-bit, no contraction.
float sqdist(const float* a, const float* b, std::size_t d) noexcept;

// Packs rows [row0, row0 + nrows) of `data` into ceil(nrows / lanes) blocks at `out`
// (`out` aligned to lanes * 4 bytes).
using PackFn = void (*)(ViewF32 data, std::size_t row0, std::size_t nrows, float* out);
// Squared distances of the rows of `nblocks` packed blocks to the k contiguous
// centroids (k x d, row-major): out[c * out_stride + j] for packed row j.
using DistFn = void (*)(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                        float* out, std::size_t out_stride);

// Adds the first `nrows` packed rows, in row order, to their clusters' component
// sums: sums[labels[j] * d + t] += component t of row j, one 32-bit addition each,
// for the components t_begin <= t < t_end only (t_begin a multiple of the lanes),
// so that threads can share the columns.
using AccumulateFn = void (*)(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin,
                              std::size_t t_end, const std::size_t* labels, float* sums);

struct Kernels {
    std::size_t lanes;
    PackFn pack;
    DistFn dist;
    AccumulateFn accumulate;
};

// Kernel set of a path; only call for an available path.
Kernels kernels_for(Path p) noexcept;

void pack_portable(ViewF32 data, std::size_t row0, std::size_t nrows, float* out);
void accumulate_portable(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin, std::size_t t_end,
                         const std::size_t* labels, float* sums);
void dist_portable(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                   float* out, std::size_t out_stride);
void pack_avx2(ViewF32 data, std::size_t row0, std::size_t nrows, float* out);
void accumulate_avx2(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin, std::size_t t_end,
                     const std::size_t* labels, float* sums);
void dist_avx2(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
               float* out, std::size_t out_stride);
void pack_avx512(ViewF32 data, std::size_t row0, std::size_t nrows, float* out);
void accumulate_avx512(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin, std::size_t t_end,
                       const std::size_t* labels, float* sums);
void dist_avx512(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                 float* out, std::size_t out_stride);

inline constexpr std::size_t kPortableLanes = 8;
inline constexpr std::size_t kAvx2Lanes = 8;
inline constexpr std::size_t kAvx512Lanes = 16;

// kmeans / assign_clusters on a chosen path (tests force each one).
Result<KMeansResult> kmeans_on(Path p, ViewF32 data, std::size_t k, std::size_t max_iter, std::uint64_t seed,
                               float tol);
std::vector<std::size_t> assign_clusters_on(Path p, ViewF32 data, ViewF32 centroids);

}  // namespace morvanta::kmeans_detail
