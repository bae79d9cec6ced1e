// Seeded k-means++ and Lloyd iterations. Every squared distance is the sequential
// 32-bit sum; the SIMD kernels only spread independent rows over vector lanes, so
// all paths give the same labels, centroids and inertia bit for bit.
#include "kmeans.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include "../cancel.hpp"
#include "../pool.hpp"
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
// Chunks per piece of work handed to a thread. A fixed size: the split never
// depends on the number of threads.
constexpr std::size_t kChunksPerLeaf = 4;
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

// Streams the rows of `data` chunk by chunk through one kernel set, the chunks
// spread over the worker pool. A scanner that will pass over the data many times
// (a fit) packs it once into a buffer for all rows and then streams that buffer;
// a single pass packs each chunk into a small buffer of the thread that scans it.
// Every row's distances, and whatever the callback writes for that row, depend on
// the row and the centroids alone, so the split over threads cannot show.
class DistanceScanner {
public:
    DistanceScanner(Path p, ViewF32 data, std::size_t max_centroids, bool keep_packed)
        : kern_(kernels_for(p)),
          data_(data),
          keep_(keep_packed),
          max_centroids_(max_centroids),
          packed_(keep_packed ? checked_count({blocks_for(data.rows), kern_.lanes, data.cols}, sizeof(float)) : 0) {}

    // f(row0, nrows, dist, stride): dist[c * stride + j] is d2(row row0 + j,
    // centroid c). f runs concurrently for different chunks and may write only to
    // its own rows.
    template <class F>
    PoolRun scan(const float* centroids, std::size_t k, const F& f) {
        const std::size_t chunks = (data_.rows + kChunk - 1) / kChunk;
        const auto body = [&](std::size_t c0, std::size_t c1) {
            AlignedFloats dist(kChunk * max_centroids_);
            AlignedFloats own(keep_ ? 0 : kChunk * data_.cols);
            (void)scan_chunks(c0, c1, centroids, k, f, dist.p, own.p);
        };
        const PoolRun run = pool_parallel_for(chunks, kChunksPerLeaf, body);
        if (run.ok()) packed_once_ = true;
        return run;
    }

    // Scans every chunk like scan() and adds each chunk's rows to their clusters'
    // sums (`sums`, k x d, cleared first) right after `f` has labelled them, while
    // the chunk is still cached. The sums must take the chunks in row order, so
    // whichever thread finishes a chunk adds every finished chunk from the lowest
    // one not yet added on, under one lock; chunks are handed out in ascending
    // order, so that front follows the scan closely. Every component sum thus
    // takes its rows in row order, one 32-bit addition each, whatever the threads.
    // Alone on one thread this is a single in-order pass. Needs a scanner that
    // keeps the data packed.
    template <class F>
    PoolRun scan_accumulate(const float* centroids, std::size_t k, const F& f, const std::size_t* labels, float* sums) {
        const std::size_t n = data_.rows, d = data_.cols;
        const std::size_t chunks = (n + kChunk - 1) / kChunk;
        std::fill(sums, sums + k * d, 0.0f);
        std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[chunks]);
        for (std::size_t ci = 0; ci < chunks; ++ci) done[ci].store(false, std::memory_order_relaxed);
        std::mutex front_mu;
        std::size_t front = 0;  // first chunk not yet added; read and written under front_mu
        const auto add_ready = [&] {
            // Whoever holds the lock adds. A chunk finished just as the holder gave up
            // (its thread found the lock taken) waits for the next chunk finished, or
            // for the caller after the loop.
            while (front_mu.try_lock()) {
                const std::lock_guard<std::mutex> lk(front_mu, std::adopt_lock);
                bool added = false;
                while (front < chunks && done[front].load(std::memory_order_acquire)) {
                    add_chunk(front, labels, sums);
                    ++front;
                    added = true;
                }
                if (!added || front == chunks || !done[front].load(std::memory_order_acquire)) return;
            }
        };
        const auto body = [&](std::size_t c0, std::size_t c1) {
            AlignedFloats dist(kChunk * max_centroids_);
            for (std::size_t ci = c0; ci < c1; ++ci) {
                if (!scan_chunks(ci, ci + 1, centroids, k, f, dist.p, nullptr)) return;
                done[ci].store(true, std::memory_order_release);
                add_ready();
            }
        };
        // One chunk per leaf: a chunk's sums wait for at most the chunk another thread
        // is labelling, not for a whole run of them.
        PoolRun run = pool_parallel_for(chunks, 1, body);
        if (run.ok()) {
            packed_once_ = true;
            const std::lock_guard<std::mutex> lk(front_mu);
            for (; front < chunks; ++front) add_chunk(front, labels, sums);
        }
        return run;
    }

private:
    // Adds the packed rows of chunk `ci` to their clusters' sums, all columns.
    void add_chunk(std::size_t ci, const std::size_t* labels, float* sums) const {
        const std::size_t row0 = ci * kChunk;
        kern_.accumulate(packed_.p + row0 * data_.cols, std::min(kChunk, data_.rows - row0), data_.cols, 0, data_.cols,
                         labels + row0, sums);
    }

    std::size_t blocks_for(std::size_t rows) const { return rows / kern_.lanes + (rows % kern_.lanes != 0); }

    // False when the call was interrupted before the chunks were all scanned.
    template <class F>
    bool scan_chunks(std::size_t c0, std::size_t c1, const float* centroids, std::size_t k, const F& f, float* dist,
                     float* own) {
        const std::size_t n = data_.rows, d = data_.cols;
        for (std::size_t ci = c0; ci < c1; ++ci) {
            if (cancelled()) return false;
            const std::size_t row0 = ci * kChunk;
            const std::size_t nrows = std::min(kChunk, n - row0);
            const std::size_t nblocks = blocks_for(nrows);
            float* chunk = keep_ ? packed_.p + row0 * d : own;  // row0 is a multiple of the lanes
            if (!keep_ || !packed_once_) kern_.pack(data_, row0, nrows, chunk);
            kern_.dist(chunk, nblocks, d, centroids, k, dist, kChunk);
            f(row0, nrows, static_cast<const float*>(dist), kChunk);
        }
        return true;
    }

    Kernels kern_;
    ViewF32 data_;
    bool keep_;
    bool packed_once_ = false;
    std::size_t max_centroids_;
    AlignedFloats packed_;
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

// The outcome of a pool loop as the fit reports it: a leaf's exception (a failed
// allocation) is rethrown here as if the loop had run on this thread.
bool finished(const PoolRun& run) {
    if (run.fault) std::rethrow_exception(run.fault);
    return !run.cancelled;
}

}  // namespace

Result<KMeansResult> kmeans_on(Path p, ViewF32 data, std::size_t k, std::size_t max_iter, std::uint64_t seed,
                               float tol) {
    const std::size_t n = data.rows, d = data.cols;
    if (k == 0) return DriftError::invalid_config("kmeans: k must be > 0");
    if (k > n)
        return DriftError::invalid_config("kmeans: k=" + std::to_string(k) +
                                          " exceeds sample count n=" + std::to_string(n));
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
            const PoolRun run = scanner.scan(res.centroids.row(c - 1), 1,
                                             [&](std::size_t row0, std::size_t nrows, const float* e, std::size_t) {
                                                 for (std::size_t j = 0; j < nrows; ++j)
                                                     if (minimum[row0 + j] > e[j]) minimum[row0 + j] = e[j];
                                             });
            if (!finished(run)) return DriftError::cancelled();
            // The total and the weighted draw stay on this thread, in row order.
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
    std::vector<float> best(n);
    for (std::size_t it = 1;; ++it) {
        if (cancelled()) return DriftError::cancelled();
        // Assignment with the chunks spread over the pool, each chunk added to the
        // sums in row order as soon as it and all before it are labelled.
        const PoolRun run = scanner.scan_accumulate(
            res.centroids.data.data(), k,
            [&](std::size_t row0, std::size_t nrows, const float* dist, std::size_t stride) {
                for (std::size_t j = 0; j < nrows; ++j)
                    res.labels[row0 + j] = nearest(dist + j, stride, k, best[row0 + j]);
            },
            res.labels.data(), next.data.data());
        if (!finished(run)) return DriftError::cancelled();
        // The inertia is one sum in row order, on this thread.
        double inertia = 0.0;
        std::fill(count.begin(), count.end(), 0u);
        for (std::size_t i = 0; i < n; ++i) {
            inertia += static_cast<double>(best[i]);
            ++count[res.labels[i]];
        }
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
    // An interrupted scan leaves some labels at 0; the caller sees cancelled().
    const PoolRun run = scanner.scan(dense.data.data(), k,
                                     [&](std::size_t row0, std::size_t nrows, const float* dist, std::size_t stride) {
                                         for (std::size_t j = 0; j < nrows; ++j) {
                                             float best;
                                             labels[row0 + j] = nearest(dist + j, stride, k, best);
                                         }
                                     });
    if (run.fault) std::rethrow_exception(run.fault);
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
