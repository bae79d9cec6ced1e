// Seeded k-means++ and Lloyd iterations. Every squared distance is the sequential
// 32-bit sum; the SIMD kernels only spread independent rows over vector lanes, so
// all paths give the same labels, centroids and inertia bit for bit.
#include "kmeans.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include "kmeans_kernels.hpp"
#include "rng.hpp"

namespace morvanta {

namespace kmeans_detail {

Kernels kernels_for(Path p) noexcept {
    switch (p) {
#if defined(__x86_64__) || defined(__i386__)
        case Path::Avx2: return Kernels{kAvx2Lanes, pack_avx2, dist_avx2, accumulate_avx2};
        case Path::Avx512: return Kernels{kAvx512Lanes, pack_avx512, dist_avx512, accumulate_avx512};
#endif
        default: return Kernels{kPortableLanes, pack_portable, dist_portable, accumulate_portable};
    }
}

float sqdist(const float* a, const float* b, std::size_t d) noexcept {
    float s = 0.0f;
    for (std::size_t t = 0; t < d; ++t) {
        const float diff = a[t] - b[t];
        const float sq = diff * diff;
        s = s + sq;
    }
    return s;
}

namespace {

// Rows per chunk: a multiple of every lane count; the packed chunk stays in L2.
constexpr std::size_t kChunk = 256;
constexpr float kInf = std::numeric_limits<float>::infinity();

struct AlignedFloats {
    static constexpr std::align_val_t kAlign{64};
    float* p = nullptr;
    explicit AlignedFloats(std::size_t count)
        : p(static_cast<float*>(::operator new(std::max<std::size_t>(count, 1) * sizeof(float), kAlign))) {}
    ~AlignedFloats() { ::operator delete(p, kAlign); }
    AlignedFloats(const AlignedFloats&) = delete;
    AlignedFloats& operator=(const AlignedFloats&) = delete;
};

// Streams the rows of `data` chunk by chunk through one kernel set. A scanner
// that will pass over the data many times (a fit) packs it once into a buffer
// for all rows and then streams that buffer sequentially; a single pass packs
// each chunk into a small reusable buffer instead. All buffers are allocated
// here, once per call.
class DistanceScanner {
public:
    DistanceScanner(Path p, ViewF32 data, std::size_t max_centroids, bool keep_packed)
        : kern_(kernels_for(p)),
          data_(data),
          keep_(keep_packed),
          packed_(keep_packed ? checked_count({blocks_for(data.rows), kern_.lanes, data.cols}, sizeof(float))
                              : checked_count({kChunk, data.cols}, sizeof(float))),
          dist_(checked_count({kChunk, max_centroids}, sizeof(float))) {}

    // f(row0, nrows, dist, stride, packed): dist[c * stride + j] is d2(row row0 + j,
    // centroid c); `packed` holds the chunk's rows in the kernel layout.
    template <class F>
    void scan(const float* centroids, std::size_t k, F&& f) {
        const std::size_t n = data_.rows, d = data_.cols;
        for (std::size_t row0 = 0; row0 < n; row0 += kChunk) {
            const std::size_t nrows = std::min(kChunk, n - row0);
            const std::size_t nblocks = blocks_for(nrows);
            float* chunk = keep_ ? packed_.p + row0 * d : packed_.p;  // row0 is a multiple of the lanes
            if (!keep_ || !packed_once_) kern_.pack(data_, row0, nrows, chunk);
            kern_.dist(chunk, nblocks, d, centroids, k, dist_.p, kChunk);
            f(row0, nrows, static_cast<const float*>(dist_.p), kChunk, static_cast<const float*>(chunk));
        }
        packed_once_ = true;
    }

    // Adds rows row0.. of the chunk just scanned to their clusters' sums.
    void accumulate(const float* chunk, std::size_t nrows, const std::size_t* labels, float* sums) const {
        kern_.accumulate(chunk, nrows, data_.cols, labels, sums);
    }

private:
    std::size_t blocks_for(std::size_t rows) const { return rows / kern_.lanes + (rows % kern_.lanes != 0); }

    Kernels kern_;
    ViewF32 data_;
    bool keep_;
    bool packed_once_ = false;
    AlignedFloats packed_;
    AlignedFloats dist_;
};

// Nearest-centroid rule: strict improvement only, so ties keep the lower index
// and a NaN distance never wins; all-NaN rows stay at index 0 with +inf.
inline std::size_t nearest(const float* dist, std::size_t stride, std::size_t k, float& best) {
    std::size_t bi = 0;
    float bd = kInf;
    for (std::size_t c = 0; c < k; ++c) {
        const float e = dist[c * stride];
        if (bd > e) {
            bi = c;
            bd = e;
        }
    }
    best = bd;
    return bi;
}

bool all_finite(ViewF32 data) {
    for (std::size_t i = 0; i < data.rows; ++i) {
        const float* r = data.row(i);
        bool ok = true;
        for (std::size_t t = 0; t < data.cols; ++t) ok &= std::isfinite(r[t]);
        if (!ok) return false;
    }
    return true;
}

bool all_finite(const MatrixF32& m) { return all_finite(m.view()); }

void copy_row(ViewF32 data, std::size_t i, float* dst) {
    if (data.cols) std::memcpy(dst, data.row(i), data.cols * sizeof(float));
}

DriftError instability() { return DriftError::numerical_instability("kmeans"); }

}  // namespace

Result<KMeansResult> kmeans_on(Path p, ViewF32 data, std::size_t k, std::size_t max_iter, std::uint64_t seed,
                               float tol) {
    const std::size_t n = data.rows, d = data.cols;
    if (k == 0) return DriftError::invalid_config("kmeans: k must be > 0");
    if (k > n)
        return DriftError::invalid_config("kmeans: k=" + std::to_string(k) + " exceeds sample count n=" +
                                          std::to_string(n));
    // k <= n bounds k by the rows, but rows without columns cost nothing to pass
    // in, so every buffer is still checked: the centroids (current and next), the
    // distances of one chunk of rows to every centroid, and the per-row state
    // (seeding minimum and weight, label, packed copy padded to whole lanes).
    if (auto e = check_alloc(byte_count({2, k, d}, sizeof(float)), "the centroids", "kmeans")) return std::move(*e);
    if (auto e = check_alloc(byte_sum(byte_count({kChunk, k}, sizeof(float)), byte_count({k}, sizeof(std::uint32_t))),
                             "the distance buffers", "kmeans"))
        return std::move(*e);
    ByteCount per_row = byte_count({n, 2}, sizeof(float));
    per_row = byte_sum(per_row, byte_count({n}, sizeof(std::size_t)));
    per_row = byte_sum(per_row, byte_count({n / 16 + 1, 16, d}, sizeof(float)));
    if (auto e = check_alloc(per_row, "the per-row buffers", "kmeans")) return std::move(*e);

    // With k >= 2 a non-finite row keeps its seeding minimum at +inf and the total
    // check below rejects it; a single cluster has no seeding total, so look first.
    if (k == 1 && !all_finite(data)) return instability();

    Rng rng(seed);
    KMeansResult res;
    res.centroids = MatrixF32(k, d);
    DistanceScanner scanner(p, data, k, true);

    copy_row(data, static_cast<std::size_t>(rng.uniform_index(n)), res.centroids.row(0));
    if (k > 1) {
        std::vector<float> minimum(n, kInf);
        std::vector<float> w(n);
        for (std::size_t c = 1; c < k; ++c) {
            scanner.scan(res.centroids.row(c - 1), 1, [&](std::size_t row0, std::size_t nrows, const float* e,
                                                          std::size_t, const float*) {
                for (std::size_t j = 0; j < nrows; ++j)
                    if (minimum[row0 + j] > e[j]) minimum[row0 + j] = e[j];
            });
            float total = -0.0f;
            for (std::size_t i = 0; i < n; ++i) total += minimum[i];
            // A NaN or infinite value, or squared distances beyond the float range,
            // leave no valid weighted draw.
            if (!std::isfinite(total)) return instability();
            if (total > 0.0f) {
                for (std::size_t i = 0; i < n; ++i) w[i] = minimum[i] > 0.0f ? minimum[i] : 0.0f;
            } else {
                std::fill(w.begin(), w.end(), 1.0f);
            }
            const std::size_t chosen = rng.weighted_index(std::span<const float>(w));
            copy_row(data, chosen, res.centroids.row(c));
        }
    }

    if (max_iter == 0) {
        res.labels.assign(n, 0);
        return res;
    }

    res.labels.resize(n);
    MatrixF32 next(k, d);
    std::vector<std::uint32_t> count(k);
    for (std::size_t it = 1;; ++it) {
        double inertia = 0.0;
        std::fill(next.data.begin(), next.data.end(), 0.0f);
        std::fill(count.begin(), count.end(), 0u);
        // Assignment and the component sums in one pass: rows arrive in ascending
        // order, so each sum still adds its rows in row order, from the packed chunk
        // while it is cached.
        scanner.scan(res.centroids.data.data(), k, [&](std::size_t row0, std::size_t nrows, const float* dist,
                                                      std::size_t stride, const float* chunk) {
            for (std::size_t j = 0; j < nrows; ++j) {
                float best;
                const std::size_t l = nearest(dist + j, stride, k, best);
                res.labels[row0 + j] = l;
                inertia += static_cast<double>(best);
                ++count[l];
            }
            scanner.accumulate(chunk, nrows, res.labels.data() + row0, next.data.data());
        });

        for (std::size_t c = 0; c < k; ++c) {
            float* dst = next.row(c);
            if (count[c] > 0) {
                const float r = 1.0f / static_cast<float>(count[c]);
                for (std::size_t t = 0; t < d; ++t) dst[t] = dst[t] * r;
            } else {
                copy_row(data, static_cast<std::size_t>(rng.uniform_index(n)), dst);
            }
        }

        float max_d2 = 0.0f;
        for (std::size_t c = 0; c < k; ++c) {
            const float e = sqdist(res.centroids.row(c), next.row(c), d);
            if (e > max_d2) max_d2 = e;  // NaN never replaces the maximum
        }
        const float shift = std::sqrt(max_d2);
        std::swap(res.centroids, next);
        res.inertia = inertia;
        res.iterations = it;
        // Overflowing distances or centroid sums would hand back meaningless clusters.
        if (!std::isfinite(inertia) || !all_finite(res.centroids)) return instability();
        if (tol >= shift || it == max_iter) break;
    }
    return res;
}

std::vector<std::size_t> assign_clusters_on(Path p, ViewF32 data, ViewF32 centroids) {
    std::vector<std::size_t> labels(data.rows, 0);
    const std::size_t k = centroids.rows, d = data.cols;
    // No centroid, or centroids of another width: every row keeps index 0.
    if (data.rows == 0 || k == 0 || centroids.cols != d) return labels;
    // The distance buffer grows with k: refuse an absurd k before walking the centroids.
    (void)checked_count({kChunk, k}, sizeof(float));
    MatrixF32 dense(k, d);
    for (std::size_t c = 0; c < k; ++c) copy_row(centroids, c, dense.row(c));
    DistanceScanner scanner(p, data, k, false);
    scanner.scan(dense.data.data(), k, [&](std::size_t row0, std::size_t nrows, const float* dist, std::size_t stride,
                                           const float*) {
        for (std::size_t j = 0; j < nrows; ++j) {
            float best;
            labels[row0 + j] = nearest(dist + j, stride, k, best);
        }
    });
    return labels;
}

}  // namespace kmeans_detail

Result<KMeansResult> kmeans(ViewF32 data, std::size_t k, std::size_t max_iter, std::uint64_t seed, float tol) {
    return kmeans_detail::kmeans_on(kmeans_detail::best_path(), data, k, max_iter, seed, tol);
}

std::vector<std::size_t> assign_clusters(ViewF32 data, ViewF32 centroids) {
    return kmeans_detail::assign_clusters_on(kmeans_detail::best_path(), data, centroids);
}

}  // namespace morvanta
