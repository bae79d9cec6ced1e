#include "masked_sums.hpp"

#include "../simd.hpp"

namespace morvanta::permutation::detail {

void masked_sums_portable(const double* lower, std::size_t i0, std::size_t i1, const std::uint8_t* const* labels,
                          const std::uint8_t* bits, std::size_t bit_stride, std::size_t count, double* sxx) {
    masked_sums_impl(lower, i0, i1, labels, bits, bit_stride, count, sxx);
}

MaskedSumsFn masked_sums_active() {
    switch (simd_best()) {
        case SimdPath::Avx512: return masked_sums_avx512;
        case SimdPath::Avx2: return masked_sums_avx2;
        default: return masked_sums_portable;
    }
}

}  // namespace morvanta::permutation::detail
