#include "wasserstein.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include "../cancel.hpp"
#include "../pool.hpp"
#include "rng.hpp"
#include "sort.hpp"
#include "wasserstein_kernels.hpp"

namespace morvanta {
namespace wasserstein_detail {
namespace {

// Rows per piece of the projection handed to a thread: a multiple of every
// kernel's block, fixed so that the split never depends on the thread count.
constexpr std::size_t kRowsPerLeaf = 512;

}  // namespace

void project(ProjectionPath path, ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride) {
    switch (path) {
        case ProjectionPath::Avx512: return project_avx512(x, w, n_dirs, out, out_stride);
        case ProjectionPath::Avx2: return project_avx2(x, w, n_dirs, out, out_stride);
        case ProjectionPath::Portable: return project_portable(x, w, n_dirs, out, out_stride);
    }
}

void project(ProjectionPath path, ViewF32 x, const float* w, std::size_t n_dirs, double* out) {
    project(path, x, w, n_dirs, out, x.rows);
}

std::vector<double> pack_directions(const float* w, std::size_t n_dirs, std::size_t d, std::size_t group) {
    const std::size_t groups = n_dirs / group + (n_dirs % group != 0);
    std::vector<double> packed(checked_count({groups, d, group}, sizeof(double)), 0.0);
    for (std::size_t p = 0; p < n_dirs; ++p) {
        const std::size_t g = p / group, q = p % group;
        for (std::size_t c = 0; c < d; ++c) packed[(g * d + c) * group + q] = static_cast<double>(w[p * d + c]);
    }
    return packed;
}

void project_portable(ViewF32 x, const float* w, std::size_t n_dirs, double* out, std::size_t out_stride) {
    // Eight directions per pass over a row: eight independent ascending sums.
    constexpr std::size_t G = 8;
    const std::size_t d = x.cols, rows = x.rows;
    const std::vector<double> packed = pack_directions(w, n_dirs, d, G);
    for (std::size_t r = 0; r < rows; ++r) {
        const float* xr = x.row(r);
        for (std::size_t g = 0; g * G < n_dirs; ++g) {
            const double* wg = packed.data() + g * d * G;
            double acc[G] = {};
            for (std::size_t c = 0; c < d; ++c) {
                const double xc = static_cast<double>(xr[c]);
                for (std::size_t q = 0; q < G; ++q) acc[q] += xc * wg[c * G + q];
            }
            const std::size_t qn = std::min(G, n_dirs - g * G);
            for (std::size_t q = 0; q < qn; ++q) out[(g * G + q) * out_stride + r] = acc[q];
        }
    }
}

std::vector<float> draw_directions(std::size_t n_dirs, std::size_t d, std::uint64_t seed) {
    std::vector<float> w(checked_count({n_dirs, d}, sizeof(float)), 0.0f);
    Rng rng(seed);
    for (std::size_t p = 0; p < n_dirs; ++p) {
        float* row = w.data() + p * d;
        float s = 0.0f;
        for (std::size_t c = 0; c < d; ++c) {
            const float v = static_cast<float>(rng.standard_normal());
            row[c] = v;
            s += v * v;
        }
        // The floor keeps an all-zero draw finite instead of dividing by zero.
        const float norm = std::max(std::sqrt(s), 0x1p-23f);
        for (std::size_t c = 0; c < d; ++c) row[c] /= norm;
    }
    return w;
}

double w1_sorted(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t m = a.size(), n = b.size();
    if (m == n) {
        // Equal values are skipped rather than subtracted: for finite ones that adds
        // +0.0 (no change), and it keeps inf - inf from turning the sum into NaN.
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) s += std::fabs(a[i] - b[i]);
        return s / static_cast<double>(n);
    }
    // Walk the distinct values of both samples in ascending order; gaps between equal
    // neighbours add nothing. Terms whose weight is 0 are skipped as well: for finite
    // gaps they add +0.0, and an infinite gap with no mass difference contributes 0
    // rather than inf * 0 = NaN.
    const double dm = static_cast<double>(m), dn = static_cast<double>(n);
    std::size_t i = 0, j = 0;
    double w = 0.0;
    double z = std::min(a[0], b[0]);
    for (;;) {
        while (i < m && a[i] <= z) ++i;
        while (j < n && b[j] <= z) ++j;
        double next;
        if (i < m && j < n) next = std::min(a[i], b[j]);
        else if (i < m) next = a[i];
        else if (j < n) next = b[j];
        else break;
        const double weight = std::fabs(static_cast<double>(i) / dm - static_cast<double>(j) / dn);
        if (weight != 0.0) w += (next - z) * weight;
        z = next;
    }
    return w;
}

Result<double> sliced_wasserstein_on(ProjectionPath path, ViewF32 x, ViewF32 y, std::size_t n_projections,
                                     std::uint64_t seed) {
    constexpr const char* kContext = "sliced_wasserstein";
    if (x.cols != y.cols) return DriftError::dimension_mismatch(x.cols, y.cols, kContext);
    if (x.rows == 0 || y.rows == 0) return DriftError::insufficient_samples(1, std::min(x.rows, y.rows), kContext);
    if (n_projections == 0) return DriftError::invalid_config("sliced_wasserstein: n_projections must be > 0");
    // Every projection onto a zero-length direction is 0, so every distance is 0.
    if (x.cols == 0) return 0.0;
    if (!path_supported(path)) path = ProjectionPath::Portable;

    const std::size_t m = x.rows, n = y.rows, P = n_projections;
    // Every buffer below grows with n_projections: refuse sizes that wrap or that
    // the machine cannot hold before touching any of them. The packed copy of the
    // directions is widened to double and padded to whole groups of at most 8.
    const ByteCount directions = byte_count({P, x.cols}, sizeof(float));
    if (auto e = check_alloc(directions, "the projection directions", kContext)) return std::move(*e);
    ByteCount buffers = byte_sum(directions, byte_count({P / 8 + 1, 8, x.cols}, sizeof(double)));
    buffers = byte_sum(buffers, byte_count({P, m}, sizeof(double)));
    buffers = byte_sum(buffers, byte_count({P, n}, sizeof(double)));
    if (auto e = check_alloc(buffers, "the projection buffers", kContext)) return std::move(*e);
    const std::vector<float> w = draw_directions(P, x.cols, seed);
    std::vector<double> u(P * m), v(P * n);
    // Projections, blocks of rows of both samples spread over the pool: every row
    // is projected onto all directions in one pass, into its own slots.
    const std::size_t mb = (m + kRowsPerLeaf - 1) / kRowsPerLeaf, nb = (n + kRowsPerLeaf - 1) / kRowsPerLeaf;
    PoolRun run = pool_parallel_for(mb + nb, 1, [&](std::size_t b, std::size_t) {
        if (cancelled()) return;
        const bool in_x = b < mb;
        const ViewF32 s = in_x ? x : y;
        const std::size_t r0 = (in_x ? b : b - mb) * kRowsPerLeaf;
        const ViewF32 block{s.row(r0), std::min(kRowsPerLeaf, s.rows - r0), s.cols, s.stride};
        project(path, block, w.data(), P, (in_x ? u.data() : v.data()) + r0, s.rows);
    });
    if (run.fault) std::rethrow_exception(run.fault);
    if (run.cancelled) return DriftError::cancelled();

    // One distance per direction, directions spread over the pool; the sum below
    // takes them in direction order, whatever thread found each.
    std::vector<double> dist(P);
    std::vector<unsigned char> unstable(P, 0);
    run = pool_parallel_for(P, 1, [&](std::size_t p, std::size_t) {
        if (cancelled()) return;
        const std::span<double> up(u.data() + p * m, m), vp(v.data() + p * n, n);
        sort_nan_last(up);
        sort_nan_last(vp);
        if (std::isnan(up.back()) || std::isnan(vp.back())) unstable[p] = 1;
        else dist[p] = w1_sorted(up, vp);
    });
    if (run.fault) std::rethrow_exception(run.fault);
    if (run.cancelled) return DriftError::cancelled();

    double s = 0.0;
    for (std::size_t p = 0; p < P; ++p) {
        if (unstable[p]) return DriftError::numerical_instability(kContext);
        s += dist[p];
    }
    return s / static_cast<double>(P);
}

}  // namespace wasserstein_detail

Result<double> wasserstein_1d(std::span<const double> a, std::span<const double> b) {
    constexpr const char* kContext = "wasserstein_1d";
    if (a.empty() || b.empty()) return DriftError::insufficient_samples(1, std::min(a.size(), b.size()), kContext);
    const std::vector<double> sa = sorted_copy(a), sb = sorted_copy(b);
    if (std::isnan(sa.back()) || std::isnan(sb.back())) return DriftError::numerical_instability(kContext);
    return wasserstein_detail::w1_sorted(sa, sb);
}

Result<double> sliced_wasserstein(ViewF32 x, ViewF32 y, std::size_t n_projections, std::uint64_t seed) {
    return wasserstein_detail::sliced_wasserstein_on(wasserstein_detail::best_path(), x, y, n_projections, seed);
}

}  // namespace morvanta
