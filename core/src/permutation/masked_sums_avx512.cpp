// The masked kernel sums compiled for AVX512; same bits as the portable path.
#include "masked_sums.hpp"

namespace morvanta::permutation::detail {

void masked_sums_avx512(const double* lower, std::size_t i0, std::size_t i1, const std::uint8_t* const* labels,
                        const std::uint8_t* bits, std::size_t bit_stride, std::size_t count, double* sxx) {
    masked_sums_impl(lower, i0, i1, labels, bits, bit_stride, count, sxx);
}

}  // namespace morvanta::permutation::detail
