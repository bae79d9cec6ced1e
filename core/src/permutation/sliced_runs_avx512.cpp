// The sliced-distance walk for AVX-512: one split per double lane, the shares
// gathered by each lane's counts; same bits as the portable path.
#include <immintrin.h>

#include "sliced_runs.hpp"

namespace morvanta::permutation::detail {

void sliced_runs_avx512(std::size_t total, const std::uint32_t* order, const double* gaps, const double* share_a,
                        const double* share_b, const std::uint8_t* lanes, double* w) {
    const __m512i one = _mm512_set1_epi64(1);
    const __m512d zero = _mm512_setzero_pd();
    __m512i i = _mm512_setzero_si512();
    __m512d acc = zero;
    for (std::size_t k = 0; k < total; ++k) {
        i = _mm512_mask_add_epi64(i, static_cast<__mmask8>(lanes[order[k]]), i, one);
        const double g = gaps[k];
        if (g == 0.0) continue;
        const __m512i j = _mm512_sub_epi64(_mm512_set1_epi64(static_cast<long long>(k + 1)), i);
        // Masked gathers with a defined source (the plain form trips a false warning).
        const __m512d fa = _mm512_mask_i64gather_pd(zero, 0xFF, i, share_a, 8);
        const __m512d fb = _mm512_mask_i64gather_pd(zero, 0xFF, j, share_b, 8);
        const __m512d weight = _mm512_abs_pd(_mm512_sub_pd(fa, fb));
        // Unordered: a NaN weight is added, as the scalar `weight != 0.0` adds it.
        const __mmask8 add = _mm512_cmp_pd_mask(weight, zero, _CMP_NEQ_UQ);
        acc = _mm512_mask_add_pd(acc, add, acc, _mm512_mul_pd(_mm512_set1_pd(g), weight));
    }
    _mm512_storeu_pd(w, acc);
}

}  // namespace morvanta::permutation::detail
