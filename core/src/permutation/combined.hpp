// The combined (maxT) permutation test of a detector method.
//
// A composite score (a sum or a maximum of statistics on different scales) is
// decided by its noisiest part: PSI outweighs KS in the data score, the sliced
// distance outweighs MMD^2 in the embedding score. The combined test keeps the
// parts apart and puts them on one scale before combining them:
//
// 1. Parts. Every split is evaluated into all parts of its method in one pass
//    (data: KS and PSI per column; embedding: MMD^2 and sliced W1; response:
//    KS of the lengths, and sliced W1 of the answer embeddings with them;
//    confidence: KS, and |ECE(current) - ECE(baseline)| with the flags; query:
//    the symmetric KL over the pooled clusters).
// 2. Standardisation, fixed before the test's own permutations (of each part's
//    value T, or of log(T + kPsiLogFloor) for a numeric PSI part; T below stands for that
//    scale): a pilot of P0 permutations dealt from a separate stream (permutation p from
//    Rng(child_seed(pilot_seed(seed), p))) gives each part's mean and population
//    standard deviation. With K_j the part's value on pilot permutation 0 and
//    S1_j, S2_j the sums of (T - K_j) and (T - K_j)^2 added in permutation order,
//    mean_j = K_j + S1_j / P0 and sd_j = sqrt(S2_j / P0 - (S1_j / P0)^2). A part
//    whose observed value is NaN or whose sd is not a positive finite number is
//    left out (listed as excluded) of everything below.
// 3. maxT. z_j = (T_j - mean_j) / sd_j and the combined statistic is the largest
//    z_j over the included parts (a NaN z never counts). Without stopping,
//    p = (1 + #{b : maxT_b >= maxT_obs}) / (1 + B).
// 4. Sequential stopping (Besag-Clifford). Permutations run in index order in
//    batches of kCombinedBatch; after each batch its results are scanned in index
//    order, and the test stops at the h-th permutation whose maxT reaches the
//    observed one, L (1-based) permutations in: p = h / L. A test that never gets
//    there reports (1 + c) / (1 + B). Permutations of the last batch past L are
//    ignored, so the outcome does not depend on the batch size or the workers.
// 5. Per part, from the same permutations (B_run = L when stopped, else B):
//    p_raw_j = (1 + #{b : T_jb >= T_j,obs}) / (1 + B_run) (NaN for a NaN
//    observation) and the single-step adjusted p_adj_j =
//    (1 + #{b : maxT_b >= z_j,obs}) / (1 + B_run) (NaN for an excluded part).
//
// Memory grows with parts + B (the maxT values and per-part counters, and one
// batch of part values), never with parts x B. Every permutation owns its
// generator and result slot and every decision reads values in index order, so
// the result is the same bits for any number of worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../detectors/detectors.hpp"
#include "../error.hpp"
#include "../matrix.hpp"
#include "../types.hpp"

namespace morvanta::permutation {

// A numeric column's PSI part ("psi[j]") is standardised and compared on
// log(PSI + kPsiLogFloor): its null has a heavy right tail that would otherwise
// decide the maximum. The floor keeps a PSI of 0 finite.
inline constexpr double kPsiLogFloor = 1e-4;

// Permutations dealt and scanned per step of the sequential test.
inline constexpr std::size_t kCombinedBatch = 64;

struct CombinedOptions {
    std::size_t n_permutations = 999;  // B, at least 1
    std::uint64_t seed = 0;
    std::size_t pilot = 200;      // P0, at least 2
    std::size_t stop_after = 20;  // h; 0 runs all B permutations
};

struct CombinedTest {
    std::vector<std::string> parts;       // "ks[3]", "psi[3]", "mmd2", "sw", ...
    std::vector<std::ptrdiff_t> columns;  // a per-column part's column, else -1
    std::vector<double> observed, mean, sd;
    std::vector<std::size_t> excluded;  // part indices, ascending
    // maxT of the given split; NaN (and p = 1, nothing run) when every part is excluded.
    double statistic = std::numeric_limits<double>::quiet_NaN();
    double p_value = 1.0;
    std::vector<double> p_raw, p_adjusted;
    std::size_t permutations_run = 0;
    bool stopped = false;
    std::size_t n_permutations = 0;
    std::uint64_t seed = 0;
    // The detector's score of the given split where the test's preparation holds it
    // (embedding: from the kernel matrix it builds anyway), with the values behind it.
    std::optional<DriftScore> score;
    std::vector<std::pair<std::string, double>> score_detail;
};

// One per detector method, with the argument checks of that method.
Result<CombinedTest> combined_data_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                        const CombinedOptions& opt);
// The data test with categorical columns: codes (rows x categorical columns,
// row-aligned with the numeric features; -1 missing, else 0 .. K_j - 1 fixed from
// the pooled rows of both windows) add two parts per column after the numeric
// parts, numbered after the numeric columns (column p + j for p numeric ones):
//   psi_cat[c]: PSI over the category shares of each side's non-missing rows,
//     sum_k (q_k - p_k) ln(q_k / p_k), p_k = (b_k + eps) / (N_b + K' eps),
//     q_k = (c_k + eps) / (N_c + K' eps) (the numeric PSI's smoothing, eps of
//     the detector), over the K' bins: every category present on the split's
//     baseline side, in code order, then one bin pooling the categories absent
//     from that baseline side (only when the current side has some). NaN when a
//     side has no non-missing row.
//   missing[c]: |missing_c / n - missing_b / m|, the change in the share of
//     missing cells.
Result<CombinedTest> combined_data_categorical_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                                    CodesView baseline_codes, CodesView current_codes,
                                                    const CombinedOptions& opt);
Result<CombinedTest> combined_embedding_test(const EmbeddingDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                             const CombinedOptions& opt);
Result<CombinedTest> combined_query_test(const QueryDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                         const CombinedOptions& opt);
Result<CombinedTest> combined_response_test(const ResponseDriftDetector& det, std::span<const double> baseline,
                                            std::span<const double> current, const CombinedOptions& opt);
Result<CombinedTest> combined_response_embeddings_test(const ResponseDriftDetector& det,
                                                       std::span<const double> baseline_lengths,
                                                       std::span<const double> current_lengths,
                                                       ViewF32 baseline_embeddings, ViewF32 current_embeddings,
                                                       const CombinedOptions& opt);
Result<CombinedTest> combined_confidence_test(const ConfidenceDriftDetector& det, std::span<const double> baseline,
                                              std::span<const double> current, const CombinedOptions& opt);
Result<CombinedTest> combined_confidence_correctness_test(const ConfidenceDriftDetector& det,
                                                          std::span<const double> baseline,
                                                          std::span<const std::uint8_t> baseline_correct,
                                                          std::span<const double> current,
                                                          std::span<const std::uint8_t> current_correct,
                                                          const CombinedOptions& opt);

namespace detail {
class Form;
// The test on a prepared form (what the functions above and the core tests run).
Result<CombinedTest> combined_run(const Form& form, const CombinedOptions& opt);
}  // namespace detail

}  // namespace morvanta::permutation
