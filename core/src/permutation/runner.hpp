// Internal pieces shared by the permutation tests: the pooled sort, the labelled
// KS walk, the prepared forms (one per detector method) and the runner that
// spreads permutations over the worker pool.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../cancel.hpp"
#include "../pool.hpp"
#include "../types.hpp"
#include "permutation.hpp"

namespace morvanta::permutation::detail {

// A pooled sample sorted once: NaN after every number, runs of equal values
// (all NaN counting as equal) marked by their exclusive ends.
struct SortedPool {
    std::vector<double> values;        // ascending
    std::vector<std::uint32_t> order;  // pooled index of each sorted position
    std::vector<std::uint32_t> rank;   // sorted position of each pooled index
    std::vector<std::uint32_t> ends;   // exclusive end of every run of equal values
};

SortedPool sort_pool(std::span<const double> pooled);

// sup|F1 - F2| of the split given by `labels` (1 = baseline side, m rows; n rows
// on the other side): i and j advance past a whole run of equal pooled values
// before the gap |i * (1/m) - j * (1/n)| is measured, and the walk stops once a
// side is exhausted.
double ks_walk(const SortedPool& s, const std::uint8_t* labels, std::size_t m, std::size_t n) noexcept;

// The same walk with the labels already in sorted order (lab[k] for position k).
double ks_walk_sorted(const SortedPool& s, const std::uint8_t* lab, std::size_t m, std::size_t n) noexcept;

// Sorted-order labels of the given split.
inline void identity_sorted_labels(const SortedPool& s, std::size_t m, std::uint8_t* lab) noexcept {
    for (std::size_t k = 0; k < s.order.size(); ++k) lab[k] = s.order[k] < m ? 1 : 0;
}

// Labels of the given split: the first m pooled rows are the baseline.
inline void identity_labels(std::size_t n_total, std::size_t m, std::uint8_t* labels) noexcept {
    for (std::size_t i = 0; i < n_total; ++i) labels[i] = i < m ? 1 : 0;
}

// ---------------------------------------------------------------- forms

// Which splits one evaluation covers: the given split (count 1), or permutations
// first .. first + count - 1 dealt from the generators of `stream` (the test's
// seed, or the pilot stream of the combined test).
struct Splits {
    bool given = false;
    std::uint64_t stream = 0;
    std::size_t first = 0;
    std::size_t count = 1;
};

// A detector's score with the named values behind it (as its breakdown gives them).
struct DetectorScore {
    DriftScore score;
    std::vector<std::pair<std::string, double>> detail;
};

// One detector method's statistic prepared on the pooled rows of both windows
// (sorts, projections, kernel matrix, clusters), as a list of parts: every split
// is evaluated into all its parts in one pass, and the detector's own composite
// score is a function of them (`combine`).
class Form {
public:
    struct Scratch {
        virtual ~Scratch() = default;
    };
    virtual ~Form() = default;
    virtual std::size_t parts() const noexcept = 0;
    // "ks[3]", "mmd2", ...; the column of a per-column part, -1 for the others.
    virtual std::string part_name(std::size_t j) const = 0;
    virtual std::ptrdiff_t part_column(std::size_t) const noexcept { return -1; }
    // Splits one eval call takes at most (a batch shares one pass over the kernel matrix).
    virtual std::size_t unit() const noexcept { return 1; }
    // Per-thread working memory.
    virtual std::unique_ptr<Scratch> scratch() const = 0;
    // Parts of every split of `splits` (count <= unit()): out[q * parts() + j].
    virtual void eval(Scratch& s, const Splits& splits, double* out) const = 0;
    // The detector's composite score from one split's parts.
    virtual double combine(const double* parts) const noexcept = 0;
    // The detector's own score of the given split, bit for bit, where the form's
    // preparation already holds what it sums (the embedding kernel); `observed`
    // are the given split's parts. Empty when the detector has to be called.
    virtual std::optional<DetectorScore> detector_score(const double*) const { return std::nullopt; }
};

using FormPtr = std::unique_ptr<Form>;

// The forms, with the argument checks of the matching detector call.
Result<FormPtr> ks_form(std::span<const double> baseline, std::span<const double> current, const char* name);
Result<FormPtr> confidence_correctness_form(const ConfidenceDriftDetector& det, std::span<const double> baseline,
                                            std::span<const std::uint8_t> baseline_correct,
                                            std::span<const double> current,
                                            std::span<const std::uint8_t> current_correct);
Result<FormPtr> data_form(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current);
// The data form with categorical columns after the numeric ones (see combined.hpp).
Result<FormPtr> data_categorical_form(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                      CodesView baseline_codes, CodesView current_codes);
Result<FormPtr> embedding_form(const EmbeddingDriftDetector& det, ViewF32 baseline, ViewF32 current);
Result<FormPtr> response_embeddings_form(const ResponseDriftDetector& det, std::span<const double> baseline_lengths,
                                         std::span<const double> current_lengths, ViewF32 baseline_embeddings,
                                         ViewF32 current_embeddings);
Result<FormPtr> query_form(const QueryDriftDetector& det, ViewF32 baseline, ViewF32 current);

// The composite score of the given split and of permutations 0 .. n - 1 of `seed`,
// a unit of permutations per pool leaf, each writing its own slot.
Result<PermutationStats> run(const Form& form, std::size_t n_permutations, std::uint64_t seed);

// Result<FormPtr> -> Result<PermutationStats> of the composite score.
inline Result<PermutationStats> run(Result<FormPtr>&& form, std::size_t n_permutations, std::uint64_t seed) {
    if (!form) return std::move(form).error();
    return run(*form.value(), n_permutations, seed);
}

}  // namespace morvanta::permutation::detail
