#include "mmd.hpp"
#include "../simd.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "../cancel.hpp"
#include "../pool.hpp"
#include "mmd_simd.hpp"

namespace morvanta {
namespace mmd_detail {
namespace {

template <int NI>
void portable_rows(const float* const* a, const float* packed, std::size_t cols, std::size_t g_begin, std::size_t g_end,
                   double* out, std::size_t out_stride) {
    for (std::size_t g = g_begin; g < g_end; ++g) {
        const float* p = packed + g * cols * kMmdLanes;
        double acc[NI][kMmdLanes] = {};
        for (std::size_t t = 0; t < cols; ++t) {
            for (int r = 0; r < NI; ++r) {
                const float av = a[r][t];
                for (std::size_t l = 0; l < kMmdLanes; ++l) {
                    const double w = static_cast<double>(av - p[t * kMmdLanes + l]);
                    acc[r][l] += w * w;
                }
            }
        }
        for (int r = 0; r < NI; ++r)
            for (std::size_t l = 0; l < kMmdLanes; ++l) out[r * out_stride + (g - g_begin) * kMmdLanes + l] = acc[r][l];
    }
}

enum IsaCode : int { kAuto = 0, kPortable = 1, kAvx2 = 2, kAvx512 = 3 };
std::atomic<int> g_forced{kAuto};

bool cpu_has(int code) {
    switch (code) {
        case kPortable: return true;
        case kAvx2: return simd_supported(SimdPath::Avx2);
        case kAvx512: return simd_supported(SimdPath::Avx512);
        default: return false;
    }
}

int resolve_isa() {
    int forced = g_forced.load(std::memory_order_relaxed);
    if (forced != kAuto) return forced;
    static const int best = cpu_has(kAvx512) ? kAvx512 : cpu_has(kAvx2) ? kAvx2 : kPortable;
    return best;
}

}  // namespace

void d2_block_portable(const float* const* a, std::size_t ni, const float* packed, std::size_t cols,
                       std::size_t g_begin, std::size_t g_end, double* out, std::size_t out_stride) {
    switch (ni) {
        case 1: portable_rows<1>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 2: portable_rows<2>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 3: portable_rows<3>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        case 4: portable_rows<4>(a, packed, cols, g_begin, g_end, out, out_stride); break;
        default: break;
    }
}

BlockFn d2_block_active() {
    switch (resolve_isa()) {
        case kAvx512: return d2_block_avx512;
        case kAvx2: return d2_block_avx2;
        default: return d2_block_portable;
    }
}

}  // namespace mmd_detail

bool mmd_set_isa(MmdIsa isa) {
    using namespace mmd_detail;
    int code = kAuto;
    switch (isa) {
        case MmdIsa::Auto: code = kAuto; break;
        case MmdIsa::Portable: code = kPortable; break;
        case MmdIsa::Avx2: code = kAvx2; break;
        case MmdIsa::Avx512: code = kAvx512; break;
    }
    if (code != kAuto && !cpu_has(code)) return false;
    g_forced.store(code, std::memory_order_relaxed);
    return true;
}

MmdIsa mmd_active_isa() {
    switch (mmd_detail::resolve_isa()) {
        case mmd_detail::kAvx512: return MmdIsa::Avx512;
        case mmd_detail::kAvx2: return MmdIsa::Avx2;
        default: return MmdIsa::Portable;
    }
}

namespace {

using mmd_detail::BlockFn;
using mmd_detail::kMmdLanes;
using mmd_detail::kMmdRows;

// Packed rows of the paired-with sample (layout in mmd_simd.hpp); the padding lanes
// of the last group are zero and never read back.
struct Packed {
    struct Free {
        void operator()(float* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
    };
    std::unique_ptr<float[], Free> buf;
    std::size_t rows = 0;
    std::size_t groups = 0;
    std::size_t cols = 0;
    const float* data() const noexcept { return buf.get(); }
};

Packed pack_rows(const std::vector<const float*>& rows, std::size_t cols) {
    Packed p;
    p.rows = rows.size();
    p.groups = (p.rows + kMmdLanes - 1) / kMmdLanes;
    p.cols = cols;
    const std::size_t n = checked_count({p.groups, kMmdLanes, cols}, sizeof(float));
    if (n == 0) return p;
    p.buf.reset(static_cast<float*>(::operator new[](n * sizeof(float), std::align_val_t{64})));
    float* dst = p.buf.get();
    for (std::size_t g = 0; g < p.groups; ++g) {
        float* block = dst + g * cols * kMmdLanes;
        for (std::size_t l = 0; l < kMmdLanes; ++l) {
            const std::size_t j = g * kMmdLanes + l;
            if (j < p.rows) {
                const float* src = rows[j];
                for (std::size_t t = 0; t < cols; ++t) block[t * kMmdLanes + l] = src[t];
            } else {
                for (std::size_t t = 0; t < cols; ++t) block[t * kMmdLanes + l] = 0.0f;
            }
        }
    }
    return p;
}

std::vector<const float*> row_refs(ViewF32 v, std::size_t count) {
    std::vector<const float*> r(count);
    for (std::size_t i = 0; i < count; ++i) r[i] = v.row(i);
    return r;
}

// One kernel sum: rows `a` against the packed sample `b`; `within` skips the pair
// of a row with itself (a and b are then the same sample).
struct SumTask {
    const float* const* a = nullptr;
    const Packed* b = nullptr;
    double f = 0.0;
    bool within = false;
    BlockFn block = nullptr;
};

// Groups of the packed sample taken per pass: small enough that the distances of
// four rows stay in L1, large enough that the packed tile is reused by a leaf's rows.
constexpr std::size_t kTileGroups = 16;
constexpr std::size_t kTileLanes = kTileGroups * kMmdLanes;

// Sum of the row partial sums of rows begin..end-1, added from zero in row order.
// Each row's partial sum is added in increasing j: tiles ascend, and within a tile
// the lanes are read in order.
double sum_leaf(const void* ctx, std::size_t begin, std::size_t end) {
    const SumTask& task = *static_cast<const SumTask*>(ctx);
    const Packed& b = *task.b;
    std::vector<double> row_sum(end - begin, 0.0);
    alignas(64) double d2[kMmdRows * kTileLanes];
    for (std::size_t g0 = 0; g0 < b.groups; g0 += kTileGroups) {
        // An interrupted call drops the leaf; the caller then reports the interrupt.
        if (cancelled()) return 0.0;
        const std::size_t g1 = std::min(b.groups, g0 + kTileGroups);
        const std::size_t j0 = g0 * kMmdLanes;
        const std::size_t j1 = std::min(b.rows, g1 * kMmdLanes);
        for (std::size_t i0 = begin; i0 < end; i0 += kMmdRows) {
            const std::size_t ni = std::min(kMmdRows, end - i0);
            task.block(task.a + i0, ni, b.data(), b.cols, g0, g1, d2, kTileLanes);
            for (std::size_t r = 0; r < ni; ++r) {
                const std::size_t i = i0 + r;
                const double* dr = d2 + r * kTileLanes;
                double s = row_sum[i - begin];
                for (std::size_t j = j0; j < j1; ++j) {
                    if (task.within && j == i) continue;
                    s += std::exp(task.f * dr[j - j0]);
                }
                row_sum[i - begin] = s;
            }
        }
    }
    double total = 0.0;
    for (double v : row_sum) total += v;
    return total;
}

// W (within = true, a and b the same sample) or C, spread over the worker pool.
// With zero columns the packed sample has no storage; the blocks still run and
// give every pair the distance 0.
double kernel_sum(const std::vector<const float*>& a, const Packed& b, double s, bool within, BlockFn block) {
    SumTask task;
    task.a = a.data();
    task.b = &b;
    task.f = -1.0 / (s + s);
    task.within = within;
    task.block = block;
    PoolSum r = pool_parallel_sum(a.size(), sum_leaf, &task);
    // A worker's failure (allocation) surfaces on the calling thread as the same
    // exception, as if the sum had run here.
    if (r.fault) std::rethrow_exception(r.fault);
    return r.value;
}

// Stable top-down merge sort by "a < b": a NaN compares false both ways, so it is
// treated as equal to every value and never moves past its neighbours.
void merge_sort(double* v, double* tmp, std::size_t n) {
    if (n < 2) return;
    const std::size_t mid = n / 2;
    merge_sort(v, tmp, mid);
    merge_sort(v + mid, tmp, n - mid);
    std::size_t i = 0, j = mid, k = 0;
    while (i < mid && j < n) tmp[k++] = (v[j] < v[i]) ? v[j++] : v[i++];
    while (i < mid) tmp[k++] = v[i++];
    while (j < n) tmp[k++] = v[j++];
    std::copy(tmp, tmp + n, v);
}

// Element floor(L/2) of the sorted distances. Without NaN the order is total and
// equal values are identical (distances are never -0), so selection gives the same
// element as the full stable sort.
double median_element(std::vector<double>& d) {
    const std::size_t k = d.size() / 2;
    const bool has_nan = std::any_of(d.begin(), d.end(), [](double v) { return std::isnan(v); });
    if (!has_nan) {
        std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k), d.end());
        return d[k];
    }
    std::vector<double> tmp(d.size());
    merge_sort(d.data(), tmp.data(), d.size());
    return d[k];
}

// Squared bandwidth from the median pairwise distance of the first 256 rows of
// each sample, pooled.
Result<double> median_heuristic(ViewF32 x, ViewF32 y, BlockFn block) {
    constexpr std::size_t kCap = 256;
    const std::size_t a = std::min(x.rows, kCap);
    const std::size_t b = std::min(y.rows, kCap);
    const std::vector<const float*> xr = row_refs(x, a);
    const std::vector<const float*> yr = row_refs(y, b);
    const auto pairs = [](std::size_t k) { return k < 2 ? 0 : k * (k - 1) / 2; };
    const std::size_t total = a * b + pairs(a) + pairs(b);
    if (total == 0) return DriftError::insufficient_samples(2, 0, "median_heuristic");

    // Pooled order x rows then y rows: "each row with every later pooled row" is
    // exactly the order x-x, x-y for each x row, then y-y.
    std::vector<const float*> pooled(xr);
    pooled.insert(pooled.end(), yr.begin(), yr.end());
    const std::size_t np = pooled.size();
    const Packed packed = pack_rows(pooled, x.cols);
    const std::size_t stride = packed.groups * kMmdLanes;

    std::vector<double> dist(total);
    std::vector<double> d2(kMmdRows * stride);
    std::size_t pos = 0;
    for (std::size_t i0 = 0; i0 < np; i0 += kMmdRows) {
        if (cancelled()) return DriftError::cancelled();
        const std::size_t ni = std::min(kMmdRows, np - i0);
        const std::size_t g_begin = (i0 + 1) / kMmdLanes;
        block(pooled.data() + i0, ni, packed.data(), packed.cols, g_begin, packed.groups, d2.data(), stride);
        for (std::size_t r = 0; r < ni; ++r) {
            const std::size_t i = i0 + r;
            const double* dr = d2.data() + r * stride;
            for (std::size_t j = i + 1; j < np; ++j) dist[pos++] = std::sqrt(dr[j - g_begin * kMmdLanes]);
        }
    }

    if (cancelled()) return DriftError::cancelled();
    const double median = median_element(dist);
    const double sq = median * median;
    constexpr double kEps = 2.220446049250313e-16;
    return sq > kEps ? sq : kEps;  // a NaN square falls to eps as well
}

}  // namespace

Result<double> mmd_rbf(ViewF32 x, ViewF32 y, Bandwidth bandwidth, bool unbiased) {
    if (x.cols != y.cols) return DriftError::dimension_mismatch(x.cols, y.cols, "mmd_rbf");
    if (x.rows < 2 || y.rows < 2) return DriftError::insufficient_samples(2, std::min(x.rows, y.rows), "mmd_rbf");
    // Rows without columns cost the caller nothing, so the row index and the
    // packed samples (padded to whole lane groups) are checked before either exists.
    ByteCount buffers = byte_count({x.rows}, sizeof(const float*));
    buffers = byte_sum(buffers, byte_count({y.rows}, sizeof(const float*)));
    buffers = byte_sum(buffers, byte_count({x.rows / kMmdLanes + 1, kMmdLanes, x.cols}, sizeof(float)));
    buffers = byte_sum(buffers, byte_count({y.rows / kMmdLanes + 1, kMmdLanes, y.cols}, sizeof(float)));
    if (auto e = check_alloc(buffers, "the packed samples", "mmd_rbf")) return std::move(*e);

    const BlockFn block = mmd_detail::d2_block_active();
    double s = 0.0;
    if (bandwidth.kind == Bandwidth::Kind::Fixed) {
        if (0.0 >= bandwidth.sigma) return DriftError::invalid_config("mmd_rbf: bandwidth must be > 0");
        s = bandwidth.sigma * bandwidth.sigma;
    } else if (bandwidth.kind == Bandwidth::Kind::Squared) {
        s = bandwidth.sigma;
    } else {
        Result<double> h = median_heuristic(x, y, block);
        if (!h) return std::move(h).error();
        s = h.value();
    }
    if (s == 0.0 || std::isinf(s) || std::isnan(s)) return 0.0;

    const std::vector<const float*> xr = row_refs(x, x.rows);
    const std::vector<const float*> yr = row_refs(y, y.rows);
    double kxx = 0.0;
    {
        const Packed px = pack_rows(xr, x.cols);
        kxx = kernel_sum(xr, px, s, true, block);
    }
    if (cancelled()) return DriftError::cancelled();
    const Packed py = pack_rows(yr, y.cols);
    const double kyy = kernel_sum(yr, py, s, true, block);
    if (cancelled()) return DriftError::cancelled();
    const double kxy = kernel_sum(xr, py, s, false, block);
    if (cancelled()) return DriftError::cancelled();

    const double n = static_cast<double>(x.rows);
    const double m = static_cast<double>(y.rows);
    const double cross = (kxy + kxy) / (n * m);
    double mmd2;
    if (unbiased) mmd2 = (kyy / ((m - 1.0) * m) + kxx / ((n - 1.0) * n)) - cross;
    else mmd2 = ((kyy + m) / (m * m) + (kxx + n) / (n * n)) - cross;
    if (!std::isfinite(mmd2)) return DriftError::numerical_instability("mmd_rbf");
    return mmd2;
}

Result<double> mmd_median_bandwidth_sq(ViewF32 x, ViewF32 y) {
    return median_heuristic(x, y, mmd_detail::d2_block_active());
}

}  // namespace morvanta
