#include "simd.hpp"

namespace morvanta {

bool simd_supported(SimdPath path) noexcept {
    switch (path) {
        case SimdPath::Portable: return true;
#if defined(__x86_64__) || defined(__i386__)
        case SimdPath::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case SimdPath::Avx512:
            // The AVX-512 files are also built with DQ, VL and BW (and AVX2/FMA).
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
        default: return false;
    }
}

SimdPath simd_best() noexcept {
    static const SimdPath best = simd_supported(SimdPath::Avx512) ? SimdPath::Avx512
                                 : simd_supported(SimdPath::Avx2) ? SimdPath::Avx2
                                                                  : SimdPath::Portable;
    return best;
}

const char* simd_name(SimdPath path) noexcept {
    switch (path) {
        case SimdPath::Portable: return "portable";
        case SimdPath::Avx2: return "avx2";
        case SimdPath::Avx512: return "avx512";
    }
    return "?";
}

}  // namespace morvanta
