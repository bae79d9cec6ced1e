// The sliced-distance walk for AVX2: eight splits as two vectors of four double
// lanes. Every step moves each lane's count on one side only, so one gather from
// the two share tables laid end to end fetches the one share that changed; same
// bits as the portable path.
#include <immintrin.h>

#include "sliced_runs.hpp"

namespace morvanta::permutation::detail {
namespace {

// Four lanes: counts i and j + m + 1 (into `shares`) and the shares they point at.
struct Quad {
    __m256i i, j;
    __m256d fa, fb, acc;
};

// One step of four lanes; `bit` selects their labels in the row's byte.
__attribute__((always_inline)) inline void step(Quad& s, __m256i bits, __m256i bit, const double* shares) {
    const __m256i a = _mm256_cmpeq_epi64(_mm256_and_si256(bits, bit), bit);  // all ones where baseline
    // Subtracting an all-ones lane (-1) counts the row on its side.
    s.i = _mm256_sub_epi64(s.i, a);
    s.j = _mm256_sub_epi64(s.j, _mm256_andnot_si256(a, _mm256_set1_epi64x(-1)));
    const __m256i at = _mm256_blendv_epi8(s.j, s.i, a);
    const __m256d v = _mm256_i64gather_pd(shares, at, 8);
    const __m256d ad = _mm256_castsi256_pd(a);
    s.fa = _mm256_blendv_pd(s.fa, v, ad);
    s.fb = _mm256_blendv_pd(v, s.fb, ad);
}

__attribute__((always_inline)) inline void add(Quad& s, __m256d g) {
    const __m256d weight = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(s.fa, s.fb));
    // Where the weight is 0 the lane adds +0 (acc + 0 is acc: acc is never -0); a NaN weight is added.
    const __m256d keep = _mm256_cmp_pd(weight, _mm256_setzero_pd(), _CMP_NEQ_UQ);
    s.acc = _mm256_add_pd(s.acc, _mm256_and_pd(keep, _mm256_mul_pd(g, weight)));
}

}  // namespace

void sliced_runs_avx2(std::size_t total, const std::uint32_t* order, const double* gaps, const double* shares,
                      std::size_t m, const std::uint8_t* lanes, double* w) {
    const __m256i bit_lo = _mm256_set_epi64x(8, 4, 2, 1), bit_hi = _mm256_set_epi64x(128, 64, 32, 16);
    Quad lo{_mm256_setzero_si256(), _mm256_set1_epi64x(static_cast<long long>(m + 1)), _mm256_set1_pd(shares[0]),
            _mm256_set1_pd(shares[m + 1]), _mm256_setzero_pd()};
    Quad hi = lo;
    for (std::size_t k = 0; k < total; ++k) {
        const __m256i bits = _mm256_set1_epi64x(lanes[order[k]]);
        step(lo, bits, bit_lo, shares);
        step(hi, bits, bit_hi, shares);
        const double g = gaps[k];
        if (g == 0.0) continue;
        const __m256d gv = _mm256_set1_pd(g);
        add(lo, gv);
        add(hi, gv);
    }
    _mm256_storeu_pd(w, lo.acc);
    _mm256_storeu_pd(w + 4, hi.acc);
}

}  // namespace morvanta::permutation::detail
