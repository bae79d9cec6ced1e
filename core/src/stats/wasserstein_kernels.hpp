// Internal pieces of the Wasserstein kernels, shared by the instruction-set
// specific projection files and exposed to the tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>
#include "../error.hpp"
#include "../matrix.hpp"
#include "../simd.hpp"

namespace morvanta::wasserstein_detail {

using ProjectionPath = SimdPath;

inline bool path_supported(ProjectionPath path) noexcept { return simd_supported(path); }
// The widest path this CPU runs.
inline ProjectionPath best_path() noexcept { return simd_best(); }

// out[p * x.rows + r] = sum over c of double(x(r, c)) * double(w[p * d + c]), the
// products added from 0.0 in ascending c in 64-bit arithmetic. Every path gives the
// same bits: the products of widened floats are exact, so fusing them is harmless,
// and each row keeps its own ascending-c sum.
void project(ProjectionPath path, ViewF32 x, const float* w, std::size_t n_dirs, double* out);
// As above with out[p * out_stride + r]: a block of rows can fill its part of a
// taller output.
void project(ProjectionPath path, ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride);

void project_portable(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride);
void project_avx2(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride);
void project_avx512(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride);

// Directions widened to double and grouped `group` at a time, component-major
// inside a group: packed[(g * d + c) * group + q] = w[(g * group + q) * d + c],
// with zero weights padding the last group.
std::vector<double> pack_directions(const float* w, std::size_t n_dirs, std::size_t d, std::size_t group);

// The P x d matrix of normalised random directions drawn from `seed`.
std::vector<float> draw_directions(std::size_t n_dirs, std::size_t d, std::uint64_t seed);

// Distance between two samples already sorted ascending and free of NaN.
double w1_sorted(std::span<const double> a, std::span<const double> b) noexcept;

// sliced_wasserstein with the projection path chosen by the caller.
Result<double> sliced_wasserstein_on(ProjectionPath path, ViewF32 x, ViewF32 y, std::size_t n_projections,
                                     std::uint64_t seed);

}  // namespace morvanta::wasserstein_detail
