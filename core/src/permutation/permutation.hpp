// Seeded permutation tests of the detectors' statistics.
//
// A permutation deals the pooled rows of both windows (baseline rows first, then
// current rows) back to two sides of the original sizes. The deal of permutation
// p comes from its own generator, Rng(child_seed(seed, p)): a partial
// Fisher-Yates shuffle over the pooled indices picks the smaller side (the
// baseline side when the sizes are equal), one bounded draw per picked row (see
// `deal`).
// Every side keeps its rows in pooled order. Because each permutation owns its
// generator and its result slot, the statistics are the same bits whatever the
// number of workers and whichever worker ran which permutation.
//
// The expensive part of every statistic is done once on the pooled sample
// (sorting, projections, the kernel matrix, the cluster assignment); each
// permutation then only walks or re-sums by labels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../detectors/detectors.hpp"
#include "../error.hpp"
#include "../matrix.hpp"
#include "../stats/rng.hpp"

namespace morvanta::permutation {

// Seed of the generator of permutation (or split) `index`: splitmix64 of the
// seed xor splitmix64 of the index, distinct for distinct indices under one seed.
std::uint64_t child_seed(std::uint64_t seed, std::uint64_t index) noexcept;

// Seed of the pilot stream of the combined test: splitmix64(seed xor the tag
// 0x70696C6F74, "pilot" in ASCII). Pilot permutation p is dealt from
// child_seed(pilot_seed(seed), p), a stream apart from the test's own.
std::uint64_t pilot_seed(std::uint64_t seed) noexcept;

// labels[i] = 1 when pooled row i goes to the baseline side (m of n_total rows);
// with `where`, the label of row i is written to labels[where[i]] instead (the
// sorted position of the row, for walks over sorted values). `work` is scratch.
// Step t of the shuffle (t < picks) swaps entry t with entry t + r, r uniform in
// [0, R) for R = n_total - t: below 2^32 r = high half of next_u32() * R,
// retried while the low half exceeds (R << countl_zero(R)) - 1 (the 32-bit
// form of the generator's uniform_index, which larger R use).
void deal(Rng& rng, std::size_t n_total, std::size_t m, std::vector<std::uint32_t>& work, std::uint8_t* labels,
          const std::uint32_t* where = nullptr);

// The labels of permutation `index` under `seed` (what the tests and the
// baseline splitting of calibration use).
std::vector<std::uint8_t> split_labels(std::size_t n_total, std::size_t m, std::uint64_t seed, std::uint64_t index);

struct PermutationStats {
    double observed = 0.0;         // the statistic of the given split
    std::vector<double> permuted;  // permuted[p]: the statistic of permutation p
};

// p = (1 + #{permuted >= observed}) / (1 + count).
double p_value(const PermutationStats& s) noexcept;

// Two-sample KS statistic sup|F1 - F2| (the gap measured only after every run of
// equal pooled values; NaN above every number and equal to NaN).
Result<PermutationStats> ks_test(std::span<const double> baseline, std::span<const double> current,
                                 std::size_t n_permutations, std::uint64_t seed);

// KS of the confidences plus |ECE(current) - ECE(baseline)|; a confidence and its
// flag move together.
Result<PermutationStats> confidence_correctness_test(const ConfidenceDriftDetector& det,
                                                     std::span<const double> baseline,
                                                     std::span<const std::uint8_t> baseline_correct,
                                                     std::span<const double> current,
                                                     std::span<const std::uint8_t> current_correct,
                                                     std::size_t n_permutations, std::uint64_t seed);

// Max over columns of max(KS, PSI) with the bins cut at each permuted baseline
// side's quantiles; rows move with all their columns.
Result<PermutationStats> data_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                   std::size_t n_permutations, std::uint64_t seed);

// KS of the lengths plus sliced W1 of the embeddings; lengths and embedding rows
// are pooled and dealt each on their own: permutation p deals the lengths from
// Rng(child_seed(seed, 2p)) and the embedding rows from Rng(child_seed(seed, 2p + 1)).
Result<PermutationStats> response_embeddings_test(const ResponseDriftDetector& det,
                                                  std::span<const double> baseline_lengths,
                                                  std::span<const double> current_lengths, ViewF32 baseline_embeddings,
                                                  ViewF32 current_embeddings, std::size_t n_permutations,
                                                  std::uint64_t seed);

// max(MMD^2, 0) + sliced W1 where the Gaussian bandwidth is fixed once from the
// pooled sample (the median heuristic over the first 256 rows of each window,
// i.e. the detector's bandwidth for the given split) and held for every
// permutation; unbiased MMD^2 re-summed from the pooled kernel matrix. More than
// kMaxKernelRows pooled rows fail with InvalidConfig.
// Pooled rows up to which the embedding test holds the kernel matrix (1 GiB).
inline constexpr std::size_t kMaxKernelRows = 16384;

Result<PermutationStats> embedding_test(const EmbeddingDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                        std::size_t n_permutations, std::uint64_t seed);

// Symmetric KL of the cluster shares, with k-means fitted once on the pooled rows
// (the detector's k, max_iter, seed and tol) and every pooled row assigned once.
Result<PermutationStats> query_test(const QueryDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                    std::size_t n_permutations, std::uint64_t seed);

}  // namespace morvanta::permutation
