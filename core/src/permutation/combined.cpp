// The combined (maxT) permutation test: pilot standardisation, the sequential
// main run and the per-part p-values (see combined.hpp).
#include "combined.hpp"

#include <cmath>
#include <mutex>

#include "runner.hpp"

namespace morvanta::permutation {

namespace detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Scratch of finished ranges, handed to the next range a thread takes, so a
// batch does not rebuild the per-thread working memory.
class Shelf {
public:
    explicit Shelf(const Form& form) : form_(form) {}
    std::unique_ptr<Form::Scratch> take() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (!items_.empty()) {
                auto s = std::move(items_.back());
                items_.pop_back();
                return s;
            }
        }
        return form_.scratch();
    }
    void give(std::unique_ptr<Form::Scratch> s) {
        std::lock_guard<std::mutex> lk(mu_);
        items_.push_back(std::move(s));
    }

private:
    const Form& form_;
    std::mutex mu_;
    std::vector<std::unique_ptr<Form::Scratch>> items_;
};

// Parts of permutations first .. first + count - 1 of `stream` into out (count x
// parts), a form unit per range of the pool; false when interrupted.
bool run_batch(const Form& form, Shelf& shelf, std::uint64_t stream, std::size_t first, std::size_t count,
               double* out) {
    const std::size_t unit = form.unit(), J = form.parts();
    const std::size_t n_units = (count + unit - 1) / unit;
    const PoolRun run = pool_parallel_for(n_units, 1, [&](std::size_t b, std::size_t e) {
        auto s = shelf.take();
        for (std::size_t u = b; u < e; ++u) {
            if (cancelled()) break;
            const std::size_t q0 = u * unit, n = std::min(unit, count - q0);
            form.eval(*s, Splits{false, stream, first + q0, n}, out + q0 * J);
        }
        shelf.give(std::move(s));
    });
    if (run.fault) std::rethrow_exception(run.fault);
    return !run.cancelled && !cancelled();
}

}  // namespace

Result<CombinedTest> combined_run(const Form& form, const CombinedOptions& opt) {
    if (opt.n_permutations == 0) return DriftError::invalid_config("combined test: n_permutations must be >= 1");
    if (opt.pilot < 2)
        return DriftError::invalid_config("combined test: pilot must be >= 2, got " + std::to_string(opt.pilot));
    const std::size_t J = form.parts(), B = opt.n_permutations, P0 = opt.pilot;
    constexpr const char* kContext = "combined permutation test";
    if (auto e = check_alloc(byte_count({kCombinedBatch, J}, sizeof(double)), "one batch of part values", kContext))
        return std::move(*e);
    if (auto e = check_alloc(byte_count({B}, sizeof(double)), "the permuted maxT values", kContext))
        return std::move(*e);

    CombinedTest out;
    out.n_permutations = B;
    out.seed = opt.seed;
    out.parts.resize(J);
    out.columns.resize(J);
    for (std::size_t j = 0; j < J; ++j) {
        out.parts[j] = form.part_name(j);
        out.columns[j] = form.part_column(j);
    }
    // A numeric column's PSI part has a heavy right tail under the null (a quantile bin a
    // split leaves nearly empty adds a large smoothed log-ratio term), which would inflate
    // the null of the maximum and cost every other part its power: it is compared on
    // log(PSI + kPsiLogFloor). Measured on real tables, the cube and square roots left the
    // tail deciding; the category PSI, over a few well-filled categories, lost power on the
    // log and stays as it is. The transform is monotone: each part's own p-value is unchanged.
    std::vector<std::uint8_t> logged(J, 0);
    for (std::size_t j = 0; j < J; ++j) logged[j] = out.parts[j].rfind("psi[", 0) == 0 ? 1 : 0;
    const auto scale = [&logged](std::size_t j, double v) { return logged[j] ? std::log(v + kPsiLogFloor) : v; };
    Shelf shelf(form);
    out.observed.resize(J);
    {
        auto s = shelf.take();
        form.eval(*s, Splits{true, opt.seed, 0, 1}, out.observed.data());
        shelf.give(std::move(s));
    }
    if (auto d = form.detector_score(out.observed.data())) {
        out.score = std::move(d->score);
        out.score_detail = std::move(d->detail);
    }
    std::vector<double> buf(kCombinedBatch * J);

    // Pilot: shifted sums in permutation order.
    std::vector<double> shift(J), s1(J, 0.0), s2(J, 0.0);
    const std::uint64_t pilot_stream = pilot_seed(opt.seed);
    for (std::size_t b0 = 0; b0 < P0; b0 += kCombinedBatch) {
        const std::size_t count = std::min(kCombinedBatch, P0 - b0);
        if (!run_batch(form, shelf, pilot_stream, b0, count, buf.data())) return DriftError::cancelled();
        if (b0 == 0)
            for (std::size_t j = 0; j < J; ++j) shift[j] = scale(j, buf[j]);
        for (std::size_t q = 0; q < count; ++q)
            for (std::size_t j = 0; j < J; ++j) {
                const double d = scale(j, buf[q * J + j]) - shift[j];
                s1[j] += d;
                s2[j] += d * d;
            }
    }
    out.mean.resize(J);
    out.sd.resize(J);
    std::vector<std::uint8_t> included(J, 0);
    std::vector<double> z_obs(J, kNaN);
    const double dp = static_cast<double>(P0);
    double stat = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < J; ++j) {
        const double m1 = s1[j] / dp;
        out.mean[j] = shift[j] + m1;
        out.sd[j] = std::sqrt(s2[j] / dp - m1 * m1);  // NaN when rounding takes the variance below 0
        const double sd = out.sd[j];
        if (std::isnan(out.observed[j]) || !(sd > 0.0) || !std::isfinite(sd) || !std::isfinite(out.mean[j])) {
            out.excluded.push_back(j);
            continue;
        }
        included[j] = 1;
        z_obs[j] = (scale(j, out.observed[j]) - out.mean[j]) / sd;
        stat = z_obs[j] > stat ? z_obs[j] : stat;
    }
    out.p_raw.assign(J, kNaN);
    out.p_adjusted.assign(J, kNaN);
    if (out.excluded.size() == J) return out;  // nothing left to test
    out.statistic = stat;

    // Main run, scanned in permutation order.
    std::vector<double> max_t;
    max_t.reserve(opt.stop_after != 0 ? std::min(B, kCombinedBatch) : B);
    std::vector<std::size_t> ge(J, 0);
    std::size_t reached = 0;
    for (std::size_t b0 = 0; b0 < B && !out.stopped; b0 += kCombinedBatch) {
        const std::size_t count = std::min(kCombinedBatch, B - b0);
        if (!run_batch(form, shelf, opt.seed, b0, count, buf.data())) return DriftError::cancelled();
        for (std::size_t q = 0; q < count; ++q) {
            const double* t = buf.data() + q * J;
            double mt = -std::numeric_limits<double>::infinity();
            for (std::size_t j = 0; j < J; ++j) {
                ge[j] += static_cast<std::size_t>(t[j] >= out.observed[j]);
                if (included[j]) {
                    const double z = (scale(j, t[j]) - out.mean[j]) / out.sd[j];
                    mt = z > mt ? z : mt;
                }
            }
            max_t.push_back(mt);
            if (mt >= stat && ++reached == opt.stop_after) {
                out.stopped = true;
                break;
            }
        }
    }
    const std::size_t run = max_t.size();
    out.permutations_run = run;
    const double denom = static_cast<double>(1 + run);
    out.p_value = out.stopped ? static_cast<double>(reached) / static_cast<double>(run)
                              : static_cast<double>(1 + reached) / denom;
    std::sort(max_t.begin(), max_t.end());
    for (std::size_t j = 0; j < J; ++j) {
        if (!std::isnan(out.observed[j])) out.p_raw[j] = static_cast<double>(1 + ge[j]) / denom;
        if (included[j]) {
            const auto at = std::lower_bound(max_t.begin(), max_t.end(), z_obs[j]);
            out.p_adjusted[j] = static_cast<double>(1 + (max_t.end() - at)) / denom;
        }
    }
    return out;
}

}  // namespace detail

namespace {

Result<CombinedTest> run_form(Result<detail::FormPtr>&& form, const CombinedOptions& opt) {
    if (!form) return std::move(form).error();
    return detail::combined_run(*form.value(), opt);
}

}  // namespace

Result<CombinedTest> combined_data_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                        const CombinedOptions& opt) {
    return run_form(detail::data_form(det, baseline, current), opt);
}

Result<CombinedTest> combined_data_categorical_test(const DataDriftDetector& det, ViewF64 baseline, ViewF64 current,
                                                    CodesView baseline_codes, CodesView current_codes,
                                                    const CombinedOptions& opt) {
    return run_form(detail::data_categorical_form(det, baseline, current, baseline_codes, current_codes), opt);
}

Result<CombinedTest> combined_embedding_test(const EmbeddingDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                             const CombinedOptions& opt) {
    return run_form(detail::embedding_form(det, baseline, current), opt);
}

Result<CombinedTest> combined_query_test(const QueryDriftDetector& det, ViewF32 baseline, ViewF32 current,
                                         const CombinedOptions& opt) {
    return run_form(detail::query_form(det, baseline, current), opt);
}

Result<CombinedTest> combined_response_test(const ResponseDriftDetector&, std::span<const double> baseline,
                                            std::span<const double> current, const CombinedOptions& opt) {
    return run_form(detail::ks_form(baseline, current, "ks(length)"), opt);
}

Result<CombinedTest> combined_response_embeddings_test(const ResponseDriftDetector& det,
                                                       std::span<const double> baseline_lengths,
                                                       std::span<const double> current_lengths,
                                                       ViewF32 baseline_embeddings, ViewF32 current_embeddings,
                                                       const CombinedOptions& opt) {
    return run_form(detail::response_embeddings_form(det, baseline_lengths, current_lengths, baseline_embeddings,
                                                     current_embeddings),
                    opt);
}

Result<CombinedTest> combined_confidence_test(const ConfidenceDriftDetector&, std::span<const double> baseline,
                                              std::span<const double> current, const CombinedOptions& opt) {
    return run_form(detail::ks_form(baseline, current, "ks(conf)"), opt);
}

Result<CombinedTest> combined_confidence_correctness_test(const ConfidenceDriftDetector& det,
                                                          std::span<const double> baseline,
                                                          std::span<const std::uint8_t> baseline_correct,
                                                          std::span<const double> current,
                                                          std::span<const std::uint8_t> current_correct,
                                                          const CombinedOptions& opt) {
    return run_form(detail::confidence_correctness_form(det, baseline, baseline_correct, current, current_correct),
                    opt);
}

}  // namespace morvanta::permutation
