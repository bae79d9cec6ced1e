// The sliced-distance walk for AVX-512: one split per double lane. Every step
// moves each lane's count on one side only, so one gather from the two share
// tables laid end to end fetches the one share that changed; same bits as the
// portable path.
#include <immintrin.h>

#include "sliced_runs.hpp"

namespace morvanta::permutation::detail {

void sliced_runs_avx512(std::size_t total, const std::uint32_t* order, const double* gaps, const double* shares,
                        std::size_t m, const std::uint8_t* lanes, double* w) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512i one = _mm512_set1_epi64(1);
    // Lane state: i (baseline rows so far) and j + m + 1 (the other side's index
    // into `shares`), and the two shares they point at.
    __m512i i = _mm512_setzero_si512();
    __m512i j = _mm512_set1_epi64(static_cast<long long>(m + 1));
    __m512d fa = _mm512_set1_pd(shares[0]), fb = _mm512_set1_pd(shares[m + 1]);
    __m512d acc = zero;
    for (std::size_t k = 0; k < total; ++k) {
        const __mmask8 a = static_cast<__mmask8>(lanes[order[k]]);
        i = _mm512_mask_add_epi64(i, a, i, one);
        j = _mm512_mask_add_epi64(j, static_cast<__mmask8>(~a), j, one);
        const __m512i at = _mm512_mask_blend_epi64(a, j, i);
        const __m512d v = _mm512_mask_i64gather_pd(zero, 0xFF, at, shares, 8);
        fa = _mm512_mask_blend_pd(a, fa, v);
        fb = _mm512_mask_blend_pd(a, v, fb);
        const double g = gaps[k];
        if (g == 0.0) continue;
        const __m512d weight = _mm512_abs_pd(_mm512_sub_pd(fa, fb));
        // Unordered: a NaN weight is added, as the scalar `weight != 0.0` adds it.
        const __mmask8 add = _mm512_cmp_pd_mask(weight, zero, _CMP_NEQ_UQ);
        acc = _mm512_mask_add_pd(acc, add, acc, _mm512_mul_pd(_mm512_set1_pd(g), weight));
    }
    _mm512_storeu_pd(w, acc);
}

}  // namespace morvanta::permutation::detail
