// Portable distance kernels: plain C++ over packed blocks of 8 rows. The lane
// loops carry no dependence between lanes, so compilers vectorise them with
// whatever the baseline instruction set offers without touching the per-lane
// summation order.
#include <cstring>
#include "kmeans_kernels.hpp"

namespace morvanta::kmeans_detail {

namespace {
constexpr std::size_t L = kPortableLanes;
}

void pack_portable(ViewF32 data, std::size_t row0, std::size_t nrows, float* out) {
    const std::size_t d = data.cols;
    const std::size_t nblocks = (nrows + L - 1) / L;
    for (std::size_t b = 0; b < nblocks; ++b) {
        float* blk = out + b * d * L;
        const std::size_t valid = nrows - b * L < L ? nrows - b * L : L;
        for (std::size_t l = 0; l < L; ++l) {
            if (l < valid) {
                const float* r = data.row(row0 + b * L + l);
                for (std::size_t t = 0; t < d; ++t) blk[t * L + l] = r[t];
            } else {
                for (std::size_t t = 0; t < d; ++t) blk[t * L + l] = 0.0f;
            }
        }
    }
}

void accumulate_portable(const float* packed, std::size_t nrows, std::size_t d, std::size_t t_begin, std::size_t t_end,
                         const std::size_t* labels, float* sums) {
    for (std::size_t j = 0; j < nrows; ++j) {
        const float* x = packed + (j / L) * d * L + j % L;
        float* dst = sums + labels[j] * d;
        for (std::size_t t = t_begin; t < t_end; ++t) dst[t] = dst[t] + x[t * L];
    }
}

void dist_portable(const float* packed, std::size_t nblocks, std::size_t d, const float* centroids, std::size_t k,
                   float* out, std::size_t out_stride) {
    for (std::size_t b = 0; b < nblocks; ++b) {
        const float* blk = packed + b * d * L;
        for (std::size_t c = 0; c < k; ++c) {
            const float* cp = centroids + c * d;
            float acc[L] = {};
            for (std::size_t t = 0; t < d; ++t) {
                const float bv = cp[t];
                const float* x = blk + t * L;
                for (std::size_t l = 0; l < L; ++l) {
                    const float diff = x[l] - bv;
                    const float sq = diff * diff;
                    acc[l] = acc[l] + sq;
                }
            }
            std::memcpy(out + c * out_stride + b * L, acc, sizeof acc);
        }
    }
}

}  // namespace morvanta::kmeans_detail
