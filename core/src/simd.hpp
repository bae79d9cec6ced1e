// Run-time choice between the portable kernels and the AVX2 / AVX-512 variants
// (compiled from *_avx2.cpp / *_avx512.cpp). Every path gives the same bits.
#pragma once

namespace morvanta {

enum class SimdPath { Portable, Avx2, Avx512 };

// True when this CPU runs everything the path's files are compiled for.
bool simd_supported(SimdPath path) noexcept;
// The widest supported path, decided once per process.
SimdPath simd_best() noexcept;
const char* simd_name(SimdPath path) noexcept;

}  // namespace morvanta
