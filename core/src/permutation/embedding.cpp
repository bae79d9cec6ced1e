// Embedding, response-with-embeddings and query drift under permutation.
//
// Sliced W1: the directions are the detector's; the pooled rows are projected and
// sorted once per direction, and a permutation fills each side's sorted
// projections by one labelled pass, so its distance is the kernel's own on the
// dealt rows. MMD: the Gaussian kernel of every pooled pair is computed once
// (lower triangle, bandwidth fixed from the pooled sample) and a permutation only
// re-sums it by labels, a batch of permutations per pass over the matrix. The
// same matrix, summed in the detector's order, gives the detector's own score,
// so a check that tests its embeddings computes their pairwise distances once.
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "../detectors/query.hpp"
#include "../stats/kmeans.hpp"
#include "../stats/mmd_simd.hpp"
#include "../stats/wasserstein_kernels.hpp"
#include "masked_sums.hpp"
#include "runner.hpp"
#include "sliced_runs.hpp"

namespace morvanta::permutation {

namespace detail {
namespace {

MatrixF32 pool_rows(ViewF32 a, ViewF32 b) {
    MatrixF32 p(a.rows + b.rows, a.cols);
    for (std::size_t r = 0; r < a.rows; ++r) std::copy(a.row(r), a.row(r) + a.cols, p.row(r));
    for (std::size_t r = 0; r < b.rows; ++r) std::copy(b.row(r), b.row(r) + b.cols, p.row(a.rows + r));
    return p;
}

// ---------------------------------------------------------------- sliced W1

struct Sliced {
    std::size_t dirs = 0, total = 0, m = 0;
    bool zero = false;                 // no columns: every distance is 0
    std::vector<double> values;        // dirs x total, sorted per direction
    std::vector<std::uint32_t> order;  // pooled row of each sorted value
    // gaps[k] = values[k + 1] - values[k] where a run of equal values ends at k,
    // else 0 (the last position too); per direction like `values`.
    std::vector<double> gaps;
    // i / m for every count i of the baseline side, then j / n for the other, as
    // w1_sorted divides them.
    std::vector<double> shares;
};

Result<Sliced> make_sliced(ViewF32 x, ViewF32 y, std::size_t n_projections, std::uint64_t seed) {
    constexpr const char* kContext = "sliced_wasserstein";
    if (x.cols != y.cols) return DriftError::dimension_mismatch(x.cols, y.cols, kContext);
    if (x.rows == 0 || y.rows == 0) return DriftError::insufficient_samples(1, std::min(x.rows, y.rows), kContext);
    if (n_projections == 0) return DriftError::invalid_config("sliced_wasserstein: n_projections must be > 0");
    Sliced s;
    s.dirs = n_projections;
    s.total = x.rows + y.rows;
    if (x.cols == 0) {
        s.zero = true;
        return s;
    }
    const MatrixF32 pooled = pool_rows(x, y);
    const std::vector<float> w = wasserstein_detail::draw_directions(n_projections, x.cols, seed);
    std::vector<double> proj(n_projections * s.total);
    // Rows are projected, and directions sorted, independently: spread over the pool.
    constexpr std::size_t kRowChunk = 256;
    const auto path = wasserstein_detail::best_path();
    PoolRun run = pool_parallel_for((s.total + kRowChunk - 1) / kRowChunk, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c < e && !cancelled(); ++c) {
            const std::size_t r0 = c * kRowChunk, r1 = std::min(s.total, r0 + kRowChunk);
            const ViewF32 all = pooled.view();
            const ViewF32 part{all.row(r0), r1 - r0, all.cols, all.stride};
            wasserstein_detail::project(path, part, w.data(), n_projections, proj.data() + r0, s.total);
        }
    });
    if (run.fault) std::rethrow_exception(run.fault);
    if (cancelled()) return DriftError::cancelled();
    s.values.resize(proj.size());
    s.order.resize(proj.size());
    s.gaps.assign(s.values.size(), 0.0);
    std::atomic<bool> nan{false};
    run = pool_parallel_for(n_projections, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t p = b; p < e && !cancelled(); ++p) {
            const double* v = proj.data() + p * s.total;
            std::uint32_t* o = s.order.data() + p * s.total;
            for (std::size_t r = 0; r < s.total; ++r) {
                if (std::isnan(v[r])) {
                    nan = true;
                    return;
                }
                o[r] = static_cast<std::uint32_t>(r);
            }
            std::sort(o, o + s.total, [&](std::uint32_t a, std::uint32_t b) { return v[a] < v[b]; });
            double* sv = s.values.data() + p * s.total;
            for (std::size_t r = 0; r < s.total; ++r) sv[r] = v[o[r]];
            double* g = s.gaps.data() + p * s.total;
            for (std::size_t k = 0; k + 1 < s.total; ++k)
                if (sv[k + 1] != sv[k]) g[k] = sv[k + 1] - sv[k];
        }
    });
    if (run.fault) std::rethrow_exception(run.fault);
    if (nan) return DriftError::numerical_instability(kContext);
    if (cancelled()) return DriftError::cancelled();
    s.m = x.rows;
    const double dm = static_cast<double>(x.rows), dn = static_cast<double>(y.rows);
    s.shares.resize(x.rows + y.rows + 2);
    for (std::size_t i = 0; i <= x.rows; ++i) s.shares[i] = static_cast<double>(i) / dm;
    for (std::size_t j = 0; j <= y.rows; ++j) s.shares[x.rows + 1 + j] = static_cast<double>(j) / dn;
    return s;
}

// Mean over the directions of W1 between the two sides of each of `count` splits
// (labels[q][row] = 1 for the baseline side of m = s.m rows): the distances of
// every direction are added in direction order, then divided by their number.
void sliced_eval_many(const Sliced& s, const std::uint8_t* const* labels, std::size_t count, double* out,
                      std::vector<double>& a, std::vector<double>& b, std::vector<std::uint8_t>& lanes);

// Mean over the directions of W1 between the two sides of the split.
double sliced_eval(const Sliced& s, const std::uint8_t* labels, std::size_t m, std::vector<double>& a,
                   std::vector<double>& b) {
    if (s.zero) return 0.0;
    const std::size_t n = s.total - m;
    // One spare slot each: every value is written to both sides and only the
    // side it belongs to advances, which keeps the pass free of branches.
    a.resize(m + 1);
    b.resize(n + 1);
    double sum = 0.0;
    for (std::size_t p = 0; p < s.dirs; ++p) {
        const double* v = s.values.data() + p * s.total;
        const std::uint32_t* o = s.order.data() + p * s.total;
        double* pa = a.data();
        double* pb = b.data();
        std::size_t ia = 0, ib = 0;
        for (std::size_t k = 0; k < s.total; ++k) {
            const std::size_t l = labels[o[k]];
            pa[ia] = v[k];
            pb[ib] = v[k];
            ia += l;
            ib += 1 - l;
        }
        sum += wasserstein_detail::w1_sorted(std::span<const double>(pa, m), std::span<const double>(pb, n));
    }
    return sum / static_cast<double>(s.dirs);
}

void sliced_eval_many(const Sliced& s, const std::uint8_t* const* labels, std::size_t count, double* out,
                      std::vector<double>& a, std::vector<double>& b, std::vector<std::uint8_t>& lanes) {
    // Equal sides take w1_sorted's pairwise form, which needs the sorted sides.
    if (s.zero || 2 * s.m == s.total) {
        for (std::size_t q = 0; q < count; ++q) out[q] = sliced_eval(s, labels[q], s.m, a, b);
        return;
    }
    // Eight splits per walk over a direction, one per lane (sliced_runs.hpp): the
    // walk's terms in the order, and skipped by the rule, of w1_sorted on the two
    // sorted sides, so each distance is the same bits; the sides are never written
    // out. A group short of eight repeats its last split in the spare lanes.
    const SlicedRunsFn runs = sliced_runs_active();
    lanes.resize(s.total);
    double sum[64], w[8];
    std::fill(sum, sum + count, 0.0);
    for (std::size_t q0 = 0; q0 < count; q0 += 8) {
        const std::size_t nq = std::min<std::size_t>(8, count - q0);
        for (std::size_t r = 0; r < s.total; ++r) {
            unsigned bits = 0;
            for (std::size_t t = 0; t < 8; ++t) bits |= static_cast<unsigned>(labels[q0 + std::min(t, nq - 1)][r]) << t;
            lanes[r] = static_cast<std::uint8_t>(bits);
        }
        for (std::size_t p = 0; p < s.dirs; ++p) {
            runs(s.total, s.order.data() + p * s.total, s.gaps.data() + p * s.total, s.shares.data(), s.m, lanes.data(),
                 w);
            for (std::size_t t = 0; t < nq; ++t) sum[q0 + t] += w[t];
        }
    }
    for (std::size_t q = 0; q < count; ++q) out[q] = sum[q] / static_cast<double>(s.dirs);
}

// ---------------------------------------------------------------- MMD

using mmd_detail::BlockFn;
using mmd_detail::kMmdLanes;
using mmd_detail::kMmdRows;

struct Packed {
    std::vector<float> buf;
    std::size_t groups = 0;
};

// Rows packed kMmdLanes at a time, transposed, as the distance blocks read them.
Packed pack(const std::vector<const float*>& rows, std::size_t cols) {
    Packed p;
    p.groups = (rows.size() + kMmdLanes - 1) / kMmdLanes;
    p.buf.assign(std::max<std::size_t>(1, p.groups * kMmdLanes * cols), 0.0f);
    for (std::size_t j = 0; j < rows.size(); ++j) {
        float* block = p.buf.data() + (j / kMmdLanes) * cols * kMmdLanes;
        for (std::size_t t = 0; t < cols; ++t) block[t * kMmdLanes + j % kMmdLanes] = rows[j][t];
    }
    return p;
}

struct Kernel {
    std::size_t total = 0;
    bool zero = false;          // bandwidth unusable: the discrepancy is 0
    double bandwidth_sq = 0.0;  // the median heuristic's squared bandwidth
    // K(i, j) for j < i at i * (i - 1) / 2 + j; left uninitialised until the pool
    // fills it, so its pages are first touched by the threads that write them.
    std::unique_ptr<double[]> lower;
    std::vector<double> row_sum;  // sum over j != i of K(i, j)
    double all = 0.0;             // sum of row_sum
    // The unbiased MMD^2 of the given split summed as mmd_rbf sums it (its bits,
    // not the permutations' masked order); NaN when a kernel value is not finite.
    double detector_mmd2 = std::numeric_limits<double>::quiet_NaN();
    const double* row(std::size_t i) const noexcept { return lower.get() + i * (i - 1) / 2; }
};

// Squared bandwidth by the median heuristic over the first 256 rows of each window.
double pooled_bandwidth(const MatrixF32& pooled, std::size_t m, std::size_t n, BlockFn block) {
    constexpr std::size_t kCap = 256;
    std::vector<const float*> sel;
    for (std::size_t r = 0; r < std::min(m, kCap); ++r) sel.push_back(pooled.row(r));
    for (std::size_t r = 0; r < std::min(n, kCap); ++r) sel.push_back(pooled.row(m + r));
    const std::size_t np = sel.size(), cols = pooled.cols;
    const Packed packed = pack(sel, cols);
    const std::size_t stride = packed.groups * kMmdLanes;
    // Row i's distances to every later row start at i * (np - 1) - i * (i - 1) / 2;
    // blocks of rows fill their own ranges on the pool (the median ignores order).
    std::vector<double> dist(np * (np - 1) / 2);
    const std::size_t n_blocks = (np + kMmdRows - 1) / kMmdRows;
    const PoolRun run = pool_parallel_for(n_blocks, 1, [&](std::size_t b, std::size_t e) {
        std::vector<double> d2(kMmdRows * stride);
        for (std::size_t blk = b; blk < e; ++blk) {
            const std::size_t i0 = blk * kMmdRows, ni = std::min(kMmdRows, np - i0);
            block(sel.data() + i0, ni, packed.buf.data(), cols, 0, packed.groups, d2.data(), stride);
            for (std::size_t r = 0; r < ni; ++r) {
                const std::size_t i = i0 + r;
                double* out = dist.data() + (i * (np - 1) - i * (i - 1) / 2);
                for (std::size_t j = i + 1; j < np; ++j) out[j - i - 1] = std::sqrt(d2[r * stride + j]);
            }
        }
    });
    if (run.fault) std::rethrow_exception(run.fault);
    const std::size_t k = dist.size() / 2;
    std::nth_element(dist.begin(), dist.begin() + static_cast<std::ptrdiff_t>(k), dist.end());
    const double sq = dist[k] * dist[k];
    constexpr double kEps = 2.220446049250313e-16;
    return sq > kEps ? sq : kEps;
}

// Row sums of the kernel matrix, each added over j ascending, from one pass over
// its lower triangle: `all` over every j != i (the permutations' row_sum), `own`
// over the row's own window (j != i) and `cross`, for baseline rows, over the
// current window. A range of columns [c0, c1) is one unit of work: its rows' own
// parts (j < i, contiguous) first, then the later rows' entries in those columns,
// rows ascending, which is the order of j for every row of the range.
struct RowSums {
    std::vector<double> all, own, cross;
};

RowSums row_sums(const Kernel& K, std::size_t m) {
    const std::size_t N = K.total;
    RowSums rs;
    rs.all.assign(N, 0.0);
    rs.own.assign(N, 0.0);
    rs.cross.assign(m, 0.0);
    constexpr std::size_t kCols = 64;
    const std::size_t n_chunks = (N + kCols - 1) / kCols;
    const PoolRun run = pool_parallel_for(n_chunks, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t chunk = b; chunk < e; ++chunk) {
            if (cancelled()) return;
            const std::size_t c0 = chunk * kCols, c1 = std::min(N, c0 + kCols);
            for (std::size_t i = c0; i < c1; ++i) {
                const double* ki = K.row(i);
                double a = 0.0, o = 0.0;
                const std::size_t own_from = i < m ? 0 : m;
                for (std::size_t j = 0; j < i; ++j) {
                    a += ki[j];
                    if (j >= own_from) o += ki[j];
                }
                rs.all[i] = a;
                rs.own[i] = o;
            }
            for (std::size_t r = c0 + 1; r < N; ++r) {
                const double* kr = K.row(r);
                const std::size_t end = std::min(c1, r);
                for (std::size_t i = c0; i < end; ++i) {
                    const double v = kr[i];
                    rs.all[i] += v;
                    // Row r is in row i's own window unless i is a baseline row and r a current one.
                    if (i < m && r >= m) rs.cross[i] += v;
                    else rs.own[i] += v;
                }
            }
        }
    });
    if (run.fault) std::rethrow_exception(run.fault);
    return rs;
}

// mmd_rbf's sums from the row sums: each the pool's sum over rows of the row sums,
// leaves and their tree as kernel_sum forms them.
double leaf_total(const double* v, std::size_t count) {
    const PoolSum ps = pool_parallel_sum(count, [v](std::size_t b, std::size_t e) {
        double t = 0.0;
        for (std::size_t i = b; i < e; ++i) t += v[i];
        return t;
    });
    if (ps.fault) std::rethrow_exception(ps.fault);
    return ps.value;
}

Result<Kernel> make_kernel(const MatrixF32& pooled, std::size_t m, std::size_t n) {
    Kernel K;
    K.total = m + n;
    const BlockFn block = mmd_detail::d2_block_active();
    const double s = pooled_bandwidth(pooled, m, n, block);
    K.bandwidth_sq = s;
    if (std::isinf(s) || std::isnan(s)) {
        K.zero = true;
        return K;
    }
    const double f = -1.0 / (s + s);
    const std::size_t N = K.total, cols = pooled.cols;
    std::vector<const float*> rows(N);
    for (std::size_t r = 0; r < N; ++r) rows[r] = pooled.row(r);
    const Packed packed = pack(rows, cols);
    K.lower.reset(new double[N * (N - 1) / 2]);
    // A chunk of rows takes the packed columns a tile at a time (small enough for
    // the core's cache), so each tile serves every row of the chunk; the entries
    // are independent, so the order they are filled in changes no bits.
    constexpr std::size_t kChunkRows = 32, kTileGroups = 16, kTileLanes = kTileGroups * kMmdLanes;
    const std::size_t n_chunks = (N + kChunkRows - 1) / kChunkRows;
    const PoolRun run = pool_parallel_for(n_chunks, 1, [&](std::size_t b, std::size_t e) {
        alignas(64) double d2[kMmdRows * kTileLanes];
        for (std::size_t chunk = b; chunk < e; ++chunk) {
            if (cancelled()) return;
            const std::size_t r0 = chunk * kChunkRows, r1 = std::min(N, r0 + kChunkRows);
            const std::size_t g_end = (r1 - 1 + kMmdLanes - 1) / kMmdLanes;  // covers every j < i
            for (std::size_t g0 = 0; g0 < g_end; g0 += kTileGroups) {
                const std::size_t j0 = g0 * kMmdLanes;
                for (std::size_t i0 = r0; i0 < r1; i0 += kMmdRows) {
                    const std::size_t ni = std::min(kMmdRows, r1 - i0), last = i0 + ni - 1;
                    if (j0 >= last) continue;  // no j < i in this tile for these rows
                    const std::size_t g1 = std::min({g_end, g0 + kTileGroups, (last + kMmdLanes - 1) / kMmdLanes});
                    block(rows.data() + i0, ni, packed.buf.data(), cols, g0, g1, d2, kTileLanes);
                    for (std::size_t r = 0; r < ni; ++r) {
                        const std::size_t i = i0 + r, j1 = std::min(i, g1 * kMmdLanes);
                        double* out = K.lower.get() + i * (i - 1) / 2;
                        const double* dr = d2 + r * kTileLanes - j0;
                        for (std::size_t j = j0; j < j1; ++j) out[j] = std::exp(f * dr[j]);
                    }
                }
            }
        }
    });
    if (run.fault) std::rethrow_exception(run.fault);
    if (cancelled()) return DriftError::cancelled();
    RowSums rs = row_sums(K, m);
    if (cancelled()) return DriftError::cancelled();
    K.row_sum = std::move(rs.all);
    for (double v : K.row_sum) K.all += v;
    // The detector's sums: within the baseline, within the current window, across.
    const double kxx = leaf_total(rs.own.data(), m);
    const double kyy = leaf_total(rs.own.data() + m, n);
    const double kxy = leaf_total(rs.cross.data(), m);
    if (cancelled()) return DriftError::cancelled();
    const double dm = static_cast<double>(m), dn = static_cast<double>(n);
    const double cross = (kxy + kxy) / (dm * dn);
    K.detector_mmd2 = (kyy / ((dn - 1.0) * dn) + kxx / ((dm - 1.0) * dm)) - cross;
    return K;
}

// Unbiased MMD^2 (which goes below 0 for alike samples) of `count` splits at
// once, from the kernel sums within one side: the baseline side when it is the
// smaller one (or as large as the other), else the current side, which halves
// the rows read when the baseline is twice the window. in[q][i] (and bit i of
// bits[q * bit_stride ...]) is set for the rows of that side.
void mmd_batch(const Kernel& K, std::size_t m, bool baseline_side, const std::uint8_t* const* in,
               const std::uint8_t* bits, std::size_t bit_stride, std::size_t count, double* out) {
    const std::size_t N = K.total, n = N - m;
    if (K.zero) {
        std::fill(out, out + count, 0.0);
        return;
    }
    double s_in[64] = {}, r_in[64] = {};
    // A block of kernel rows stays in cache while every mask of the batch passes
    // over it; each split still adds its rows in ascending order.
    constexpr std::size_t kRowBlock = 16;
    const MaskedSumsFn sums = masked_sums_active();
    for (std::size_t i0 = 1; i0 < N; i0 += kRowBlock)
        sums(K.lower.get(), i0, std::min(N, i0 + kRowBlock), in, bits, bit_stride, count, s_in);
    for (std::size_t q = 0; q < count; ++q)
        for (std::size_t i = 0; i < N; ++i)
            if (in[q][i]) r_in[q] += K.row_sum[i];
    const double dm = static_cast<double>(m), dn = static_cast<double>(n);
    for (std::size_t q = 0; q < count; ++q) {
        // Within the side, across (its row sums less the within part), within the other.
        const double k_in = s_in[q] + s_in[q];
        const double kxy = r_in[q] - k_in;
        const double k_out = (K.all - (r_in[q] + r_in[q])) + k_in;
        const double kxx = baseline_side ? k_in : k_out, kyy = baseline_side ? k_out : k_in;
        const double cross = (kxy + kxy) / (dm * dn);
        out[q] = (kyy / ((dn - 1.0) * dn) + kxx / ((dm - 1.0) * dm)) - cross;
    }
}

// max(MMD^2, 0) + sliced W1 of the embedding detector; the parts are MMD^2 as it
// is (negative for alike samples) and the sliced distance. Permutations run a
// batch per eval call, so each pass over the kernel matrix serves the whole batch.
class EmbeddingForm final : public Form {
public:
    static constexpr std::size_t kBatch = 32;
    EmbeddingForm(Sliced sw, Kernel K, std::size_t m, double threshold)
        : sw_(std::move(sw)), K_(std::move(K)), m_(m), threshold_(threshold) {}
    std::size_t parts() const noexcept override { return 2; }
    std::string part_name(std::size_t j) const override { return j == 0 ? "mmd2" : "sw"; }
    std::size_t unit() const noexcept override { return kBatch; }
    std::unique_ptr<Scratch> scratch() const override {
        auto s = std::make_unique<Batch>();
        s->labels.resize(kBatch * K_.total);
        if (!baseline_side()) s->side.resize(kBatch * K_.total);
        s->bits.resize(kBatch * bit_stride());
        return s;
    }
    void eval(Scratch& sc, const Splits& sp, double* out) const override {
        auto& s = static_cast<Batch&>(sc);
        const std::size_t total = K_.total, count = sp.count;
        const std::uint8_t* lp[kBatch] = {};
        const std::uint8_t* in[kBatch] = {};
        for (std::size_t q = 0; q < count; ++q) {
            std::uint8_t* lab = s.labels.data() + q * total;
            if (sp.given) {
                identity_labels(total, m_, lab);
            } else {
                Rng rng(child_seed(sp.stream, sp.first + q));
                deal(rng, total, m_, s.work, lab);
            }
            lp[q] = lab;
            // The smaller side's rows select the kernel sums (see mmd_batch).
            const std::uint8_t flip = baseline_side() ? 0 : 1;
            std::uint8_t* side = lab;
            if (flip) {
                side = s.side.data() + q * total;
                for (std::size_t i = 0; i < total; ++i) side[i] = lab[i] ^ flip;
            }
            in[q] = side;
            std::uint8_t* bits = s.bits.data() + q * bit_stride();
            std::fill(bits, bits + bit_stride(), std::uint8_t{0});
            for (std::size_t i = 0; i < total; ++i) bits[i >> 3] |= static_cast<std::uint8_t>(side[i] << (i & 7));
        }
        double mmd[kBatch];
        mmd_batch(K_, m_, baseline_side(), in, s.bits.data(), bit_stride(), count, mmd);
        double sw[kBatch];
        sliced_eval_many(sw_, lp, count, sw, s.a, s.b, s.lanes);
        for (std::size_t q = 0; q < count; ++q) {
            out[2 * q] = mmd[q];
            out[2 * q + 1] = sw[q];
        }
    }
    double combine(const double* parts) const noexcept override { return (parts[0] > 0.0 ? parts[0] : 0.0) + parts[1]; }
    // The detector's score: its MMD^2 summed in its order, and the sliced distance,
    // which the given split's part already is bit for bit. A kernel value that is not
    // finite leaves the detector to report its own error.
    std::optional<DetectorScore> detector_score(const double* observed) const override {
        const double mmd2 = K_.detector_mmd2;
        if (K_.zero || !std::isfinite(mmd2) || std::isnan(observed[1])) return std::nullopt;
        const double sw = observed[1];
        DetectorScore d;
        d.score = make_score(Dimension::Embedding, (mmd2 > 0.0 ? mmd2 : 0.0) + sw, threshold_, "mmd+sw");
        // Both forms of the bandwidth, as the fitted baseline's breakdown gives them.
        d.detail = {{"mmd2", mmd2},
                    {"sliced_wasserstein", sw},
                    {"bandwidth", std::sqrt(K_.bandwidth_sq)},
                    {"bandwidth_sq", K_.bandwidth_sq}};
        return d;
    }

private:
    // Bytes of one split's row mask, rounded up to a cache line.
    std::size_t bit_stride() const noexcept { return (K_.total + 511) / 512 * 64; }
    // Whether the kernel sums run over the baseline side (not larger than the other).
    bool baseline_side() const noexcept { return m_ <= K_.total - m_; }
    struct Batch : Scratch {
        std::vector<std::uint8_t> labels, side, bits;
        std::vector<std::uint32_t> work;
        std::vector<double> a, b;
        std::vector<std::uint8_t> lanes;
    };
    Sliced sw_;
    Kernel K_;
    std::size_t m_;
    double threshold_;
};

// KS of the lengths and sliced W1 of the answer embeddings. Lengths and rows are
// dealt each from its own generator, (stream, 2p) and (stream, 2p + 1), the rule
// calibration uses to split the two parts of a baseline.
class ResponseForm final : public Form {
public:
    ResponseForm(Sliced sw, SortedPool lengths, std::size_t ml, std::size_t me, double threshold)
        : sw_(std::move(sw)), sl_(std::move(lengths)), ml_(ml), me_(me), threshold_(threshold) {}
    std::size_t parts() const noexcept override { return 2; }
    std::string part_name(std::size_t j) const override { return j == 0 ? "ks(length)" : "sw(emb)"; }
    // A batch of splits per call: one walk over each direction's sorted values
    // serves several of them.
    static constexpr std::size_t kBatch = 16;
    std::size_t unit() const noexcept override { return kBatch; }
    std::unique_ptr<Scratch> scratch() const override {
        auto s = std::make_unique<Labels>();
        s->ll.resize(sl_.order.size());
        s->le.resize(kBatch * sw_.total);
        return s;
    }
    void eval(Scratch& sc, const Splits& sp, double* out) const override {
        auto& s = static_cast<Labels&>(sc);
        const std::size_t tl = sl_.order.size(), te = sw_.total;
        const std::uint8_t* lp[kBatch] = {};
        for (std::size_t q = 0; q < sp.count; ++q) {
            std::uint8_t* le = s.le.data() + q * te;
            if (sp.given) {
                identity_sorted_labels(sl_, ml_, s.ll.data());
                identity_labels(te, me_, le);
            } else {
                const std::uint64_t p = sp.first + q;
                Rng rl(child_seed(sp.stream, 2 * p)), re(child_seed(sp.stream, 2 * p + 1));
                deal(rl, tl, ml_, s.work, s.ll.data(), sl_.rank.data());
                deal(re, te, me_, s.work, le);
            }
            lp[q] = le;
            out[2 * q] = ks_walk_sorted(sl_, s.ll.data(), ml_, tl - ml_);
        }
        double sw[kBatch];
        sliced_eval_many(sw_, lp, sp.count, sw, s.a, s.b, s.lanes);
        for (std::size_t q = 0; q < sp.count; ++q) out[2 * q + 1] = sw[q];
    }
    double combine(const double* parts) const noexcept override { return parts[0] + parts[1]; }
    // The given split's parts are the detector's KS and sliced distance bit for bit,
    // so its score is their sum; a NaN part leaves the detector to speak for itself.
    std::optional<DetectorScore> detector_score(const double* observed) const override {
        if (std::isnan(observed[0]) || std::isnan(observed[1])) return std::nullopt;
        DetectorScore d;
        d.score = make_score(Dimension::Response, combine(observed), threshold_, "ks(length)+sw(emb)");
        d.detail = {{"ks", observed[0]}, {"sliced_wasserstein", observed[1]}};
        return d;
    }

private:
    struct Labels : Scratch {
        std::vector<std::uint8_t> ll, le;
        std::vector<std::uint32_t> work;
        std::vector<double> a, b;
        std::vector<std::uint8_t> lanes;
    };
    Sliced sw_;
    SortedPool sl_;
    std::size_t ml_, me_;
    double threshold_;
};

// Symmetric KL of the cluster shares, k-means fitted once on the pooled rows.
class QueryForm final : public Form {
public:
    QueryForm(const QueryDriftDetector& det, std::vector<std::size_t> cluster, std::size_t m)
        : cluster_(std::move(cluster)), m_(m), k_(det.k), epsilon_(det.epsilon) {}
    std::size_t parts() const noexcept override { return 1; }
    std::string part_name(std::size_t) const override { return "sym_kl"; }
    std::unique_ptr<Scratch> scratch() const override {
        auto s = std::make_unique<Counts>();
        s->labels.resize(cluster_.size());
        s->counts.resize(2 * k_);
        s->freq.resize(2 * k_);
        return s;
    }
    void eval(Scratch& sc, const Splits& sp, double* out) const override {
        auto& s = static_cast<Counts&>(sc);
        const std::size_t total = cluster_.size(), n = total - m_, k = k_;
        for (std::size_t q = 0; q < sp.count; ++q) {
            if (sp.given) {
                identity_labels(total, m_, s.labels.data());
            } else {
                Rng rng(child_seed(sp.stream, sp.first + q));
                deal(rng, total, m_, s.work, s.labels.data());
            }
            std::fill(s.counts.begin(), s.counts.end(), 0);
            for (std::size_t i = 0; i < total; ++i)
                if (cluster_[i] < k) ++s.counts[(s.labels[i] ? 0 : k) + cluster_[i]];
            // Frequencies and the symmetric divergence exactly as the detector forms them.
            query_detail::frequencies(s.counts.data(), k, m_, s.freq.data());
            query_detail::frequencies(s.counts.data() + k, k, n, s.freq.data() + k);
            out[q] = query_detail::symmetric_kl(s.freq.data(), s.freq.data() + k, k, epsilon_);
        }
    }
    double combine(const double* parts) const noexcept override { return parts[0]; }

private:
    struct Counts : Scratch {
        std::vector<std::uint8_t> labels;
        std::vector<std::uint32_t> work;
        std::vector<std::uint64_t> counts;
        std::vector<double> freq;
    };
    std::vector<std::size_t> cluster_;
    std::size_t m_, k_;
    double epsilon_;
};

}  // namespace

Result<FormPtr> embedding_form(const EmbeddingDriftDetector& det, ViewF32 baseline, ViewF32 current) {
    if (baseline.cols != current.cols) return DriftError::dimension_mismatch(baseline.cols, current.cols, "mmd_rbf");
    if (baseline.rows < 2 || current.rows < 2)
        return DriftError::insufficient_samples(2, std::min(baseline.rows, current.rows), "mmd_rbf");
    const std::size_t m = baseline.rows, n = current.rows, total = m + n;
    // The pooled kernel matrix is held whole (its lower triangle in doubles).
    if (total > kMaxKernelRows)
        return DriftError::invalid_config("permutation test: " + std::to_string(total) +
                                          " pooled embedding rows exceed the kernel matrix limit of " +
                                          std::to_string(kMaxKernelRows));
    auto sliced = make_sliced(baseline, current, det.n_projections, det.seed);
    if (!sliced) return std::move(sliced).error();
    const MatrixF32 pooled = pool_rows(baseline, current);
    auto kernel = make_kernel(pooled, m, n);
    if (!kernel) return std::move(kernel).error();
    return FormPtr(
        std::make_unique<EmbeddingForm>(std::move(sliced).value(), std::move(kernel).value(), m, det.threshold));
}

Result<FormPtr> response_embeddings_form(const ResponseDriftDetector& det, std::span<const double> baseline_lengths,
                                         std::span<const double> current_lengths, ViewF32 baseline_embeddings,
                                         ViewF32 current_embeddings) {
    if (baseline_lengths.empty() || current_lengths.empty())
        return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    auto sliced = make_sliced(baseline_embeddings, current_embeddings, det.n_projections, det.seed);
    if (!sliced) return std::move(sliced).error();
    std::vector<double> lengths(baseline_lengths.begin(), baseline_lengths.end());
    lengths.insert(lengths.end(), current_lengths.begin(), current_lengths.end());
    return FormPtr(std::make_unique<ResponseForm>(std::move(sliced).value(), sort_pool(lengths),
                                                  baseline_lengths.size(), baseline_embeddings.rows, det.threshold));
}

Result<FormPtr> query_form(const QueryDriftDetector& det, ViewF32 baseline, ViewF32 current) {
    if (baseline.cols != current.cols)
        return DriftError::dimension_mismatch(baseline.cols, current.cols, "QueryDriftDetector::detect");
    const MatrixF32 pooled = pool_rows(baseline, current);
    auto fit = kmeans(pooled.view(), det.k, det.max_iter, det.seed, det.tol);
    if (!fit) return std::move(fit).error();
    return FormPtr(
        std::make_unique<QueryForm>(det, assign_clusters(pooled.view(), fit.value().centroids.view()), baseline.rows));
}

}  // namespace detail

Result<PermutationStats> embedding_test(const EmbeddingDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                        std::size_t n_permutations, std::uint64_t seed) {
    return detail::run(detail::embedding_form(det, baseline, current), n_permutations, seed);
}

Result<PermutationStats> response_embeddings_test(const ResponseDriftDetector& det,
                                                  std::span<const double> baseline_lengths,
                                                  std::span<const double> current_lengths, ViewF32 baseline_embeddings,
                                                  ViewF32 current_embeddings, std::size_t n_permutations,
                                                  std::uint64_t seed) {
    return detail::run(detail::response_embeddings_form(det, baseline_lengths, current_lengths, baseline_embeddings,
                                                        current_embeddings),
                       n_permutations, seed);
}

Result<PermutationStats> query_test(const QueryDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                    std::size_t n_permutations, std::uint64_t seed) {
    return detail::run(detail::query_form(det, baseline, current), n_permutations, seed);
}

}  // namespace morvanta::permutation
