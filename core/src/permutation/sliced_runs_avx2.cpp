// The sliced-distance walk for AVX2: eight splits as two vectors of four double
// lanes, the shares gathered by each lane's counts; same bits as the portable path.
#include <immintrin.h>

#include "sliced_runs.hpp"

namespace morvanta::permutation::detail {

void sliced_runs_avx2(std::size_t total, const std::uint32_t* order, const double* gaps, const double* share_a,
                      const double* share_b, const std::uint8_t* lanes, double* w) {
    const __m256i bit_lo = _mm256_set_epi64x(8, 4, 2, 1), bit_hi = _mm256_set_epi64x(128, 64, 32, 16);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256i i0 = _mm256_setzero_si256(), i1 = i0;
    __m256d acc0 = zero, acc1 = zero;
    for (std::size_t k = 0; k < total; ++k) {
        const __m256i bits = _mm256_set1_epi64x(lanes[order[k]]);
        // A set bit gives an all-ones lane (-1): subtracting it counts the row.
        i0 = _mm256_sub_epi64(i0, _mm256_cmpeq_epi64(_mm256_and_si256(bits, bit_lo), bit_lo));
        i1 = _mm256_sub_epi64(i1, _mm256_cmpeq_epi64(_mm256_and_si256(bits, bit_hi), bit_hi));
        const double g = gaps[k];
        if (g == 0.0) continue;
        const __m256i end = _mm256_set1_epi64x(static_cast<long long>(k + 1));
        const __m256d gv = _mm256_set1_pd(g);
        const __m256d w0 = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_i64gather_pd(share_a, i0, 8),
                                                                _mm256_i64gather_pd(share_b, _mm256_sub_epi64(end, i0), 8)));
        const __m256d w1 = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_i64gather_pd(share_a, i1, 8),
                                                                _mm256_i64gather_pd(share_b, _mm256_sub_epi64(end, i1), 8)));
        // Where the weight is 0 the lane adds nothing (acc + 0 is acc: acc is never -0).
        acc0 = _mm256_add_pd(acc0, _mm256_and_pd(_mm256_cmp_pd(w0, zero, _CMP_NEQ_UQ), _mm256_mul_pd(gv, w0)));
        acc1 = _mm256_add_pd(acc1, _mm256_and_pd(_mm256_cmp_pd(w1, zero, _CMP_NEQ_UQ), _mm256_mul_pd(gv, w1)));
    }
    _mm256_storeu_pd(w, acc0);
    _mm256_storeu_pd(w + 4, acc1);
}

}  // namespace morvanta::permutation::detail
