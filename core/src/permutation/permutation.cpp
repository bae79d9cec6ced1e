// Deals, the pooled sort, the labelled KS walk and the one-dimensional tests.
#include "permutation.hpp"

#include <bit>
#include <cstring>
#include <numeric>

#include "../detectors/calibration.hpp"
#include "runner.hpp"

namespace morvanta::permutation {

namespace {

inline std::uint64_t splitmix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline bool nan_last_less(double a, double b) noexcept { return std::isnan(b) ? !std::isnan(a) : a < b; }

inline bool same_run(double a, double b) noexcept { return std::isnan(a) ? std::isnan(b) : a == b; }

std::vector<double> concat(std::span<const double> a, std::span<const double> b) {
    std::vector<double> v(a.begin(), a.end());
    v.insert(v.end(), b.begin(), b.end());
    return v;
}

}  // namespace

std::uint64_t child_seed(std::uint64_t seed, std::uint64_t index) noexcept {
    return splitmix64(seed ^ splitmix64(index));
}

std::uint64_t pilot_seed(std::uint64_t seed) noexcept { return splitmix64(seed ^ 0x70696C6F74ull); }

namespace {

// Unbiased index in [0, n), 1 <= n < 2^32, from 32-bit words: the zone rule of
// Rng::uniform_index at half the width, so most draws take one word.
inline std::uint32_t index32(Rng& rng, std::uint32_t n) noexcept {
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t p = static_cast<std::uint64_t>(rng.next_u32()) * n;
        if (static_cast<std::uint32_t>(p) <= zone) return static_cast<std::uint32_t>(p >> 32);
    }
}

}  // namespace

void deal(Rng& rng, std::size_t n_total, std::size_t m, std::vector<std::uint32_t>& work, std::uint8_t* labels,
          const std::uint32_t* where) {
    const std::size_t n = n_total - m;
    const bool pick_baseline = m <= n;
    const std::size_t picks = pick_baseline ? m : n;
    work.resize(n_total);
    // The shuffle moves label positions: row i's is where[i] (or i), so the picked
    // rows' labels are written without a second lookup.
    if (where) std::copy(where, where + n_total, work.begin());
    else std::iota(work.begin(), work.end(), std::uint32_t{0});
    for (std::size_t t = 0; t < picks; ++t) {
        const std::size_t range = n_total - t;
        const std::size_t r = range < (std::size_t{1} << 32) ? index32(rng, static_cast<std::uint32_t>(range))
                                                             : static_cast<std::size_t>(rng.uniform_index(range));
        std::swap(work[t], work[t + r]);
    }
    std::memset(labels, pick_baseline ? 0 : 1, n_total);
    const std::uint8_t mark = pick_baseline ? 1 : 0;
    for (std::size_t t = 0; t < picks; ++t) labels[work[t]] = mark;
}

std::vector<std::uint8_t> split_labels(std::size_t n_total, std::size_t m, std::uint64_t seed, std::uint64_t index) {
    std::vector<std::uint8_t> labels(n_total);
    std::vector<std::uint32_t> work;
    Rng rng(child_seed(seed, index));
    deal(rng, n_total, m, work, labels.data());
    return labels;
}

double p_value(const PermutationStats& s) noexcept {
    std::size_t ge = 0;
    for (double v : s.permuted) ge += static_cast<std::size_t>(v >= s.observed);
    return static_cast<double>(1 + ge) / static_cast<double>(1 + s.permuted.size());
}

namespace detail {

SortedPool sort_pool(std::span<const double> pooled) {
    SortedPool s;
    const std::size_t n = pooled.size();
    s.order.resize(n);
    std::iota(s.order.begin(), s.order.end(), std::uint32_t{0});
    // Stable, so that equal values keep pooled order and the result never depends
    // on the library's unstable sort.
    std::stable_sort(s.order.begin(), s.order.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return nan_last_less(pooled[x], pooled[y]); });
    s.values.resize(n);
    s.rank.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        s.values[k] = pooled[s.order[k]];
        s.rank[s.order[k]] = static_cast<std::uint32_t>(k);
    }
    for (std::size_t k = 0; k < n; ++k)
        if (k + 1 == n || !same_run(s.values[k], s.values[k + 1])) s.ends.push_back(static_cast<std::uint32_t>(k + 1));
    return s;
}

double ks_walk(const SortedPool& s, const std::uint8_t* labels, std::size_t m, std::size_t n) noexcept {
    const double r1 = 1.0 / static_cast<double>(m);
    const double r2 = 1.0 / static_cast<double>(n);
    const std::uint32_t* order = s.order.data();
    std::size_t i = 0, k = 0;
    double d = 0.0;
    for (const std::uint32_t end : s.ends) {
        for (; k < end; ++k) i += labels[order[k]];
        const std::size_t j = end - i;
        const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
        d = gap > d ? gap : d;
        if (i == m || j == n) break;
    }
    return d;
}

double ks_walk_sorted(const SortedPool& s, const std::uint8_t* lab, std::size_t m, std::size_t n) noexcept {
    const double r1 = 1.0 / static_cast<double>(m);
    const double r2 = 1.0 / static_cast<double>(n);
    std::size_t i = 0, k = 0;
    double d = 0.0;
    for (const std::uint32_t end : s.ends) {
        for (; k < end; ++k) i += lab[k];
        const std::size_t j = end - i;
        const double gap = std::fabs(static_cast<double>(i) * r1 - static_cast<double>(j) * r2);
        d = gap > d ? gap : d;
        if (i == m || j == n) break;
    }
    return d;
}

}  // namespace detail

namespace detail {

Result<PermutationStats> run(const Form& form, std::size_t n_permutations, std::uint64_t seed) {
    const std::size_t J = form.parts(), unit = form.unit();
    PermutationStats out;
    {
        auto s = form.scratch();
        std::vector<double> parts(J);
        form.eval(*s, Splits{true, seed, 0, 1}, parts.data());
        out.observed = form.combine(parts.data());
    }
    out.permuted.assign(n_permutations, 0.0);
    double* slots = out.permuted.data();
    std::atomic<bool> stop{false};
    const std::size_t n_units = (n_permutations + unit - 1) / unit;
    auto leaf = [&](std::size_t b, std::size_t e) -> double {
        auto s = form.scratch();
        std::vector<double> parts(unit * J);
        for (std::size_t t = b; t < e; ++t) {
            if (stop.load(std::memory_order_relaxed) || cancelled()) {
                stop.store(true, std::memory_order_relaxed);
                return 0.0;
            }
            const std::size_t p0 = t * unit, count = std::min(unit, n_permutations - p0);
            form.eval(*s, Splits{false, seed, p0, count}, parts.data());
            for (std::size_t q = 0; q < count; ++q) slots[p0 + q] = form.combine(parts.data() + q * J);
        }
        return 0.0;
    };
    const PoolSum r = pool_parallel_sum(n_units, leaf);
    if (r.fault) std::rethrow_exception(r.fault);
    if (stop.load() || cancelled()) return DriftError::cancelled();
    return out;
}

namespace {

struct Labels : Form::Scratch {
    std::vector<std::uint8_t> labels;
    std::vector<std::uint32_t> work;
};

// KS of one pooled sample; labels are dealt straight to sorted positions, so the
// walk reads them in order.
class KsForm final : public Form {
public:
    KsForm(std::span<const double> baseline, std::span<const double> current, const char* name)
        : m_(baseline.size()), n_(current.size()), s_(sort_pool(concat(baseline, current))), name_(name) {}
    std::size_t parts() const noexcept override { return 1; }
    std::string part_name(std::size_t) const override { return name_; }
    std::unique_ptr<Scratch> scratch() const override {
        auto l = std::make_unique<Labels>();
        l->labels.resize(m_ + n_);
        return l;
    }
    void eval(Scratch& sc, const Splits& sp, double* out) const override {
        auto& l = static_cast<Labels&>(sc);
        for (std::size_t q = 0; q < sp.count; ++q) {
            if (sp.given) {
                identity_sorted_labels(s_, m_, l.labels.data());
            } else {
                Rng rng(child_seed(sp.stream, sp.first + q));
                deal(rng, m_ + n_, m_, l.work, l.labels.data(), s_.rank.data());
            }
            out[q] = ks_walk_sorted(s_, l.labels.data(), m_, n_);
        }
    }
    double combine(const double* parts) const noexcept override { return parts[0]; }

private:
    std::size_t m_, n_;
    SortedPool s_;
    std::string name_;
};

// KS of the confidences and |ECE(current) - ECE(baseline)|; a confidence and its
// flag move together. Bins as the calibration error forms them, renumbered
// densely over the occupied ones in ascending order: the per-side sums add the
// same values in the same (pooled) order and the terms are added in ascending
// bin order.
class ConfidenceForm final : public Form {
public:
    ConfidenceForm(const ConfidenceDriftDetector& det, std::span<const double> baseline,
                   std::span<const std::uint8_t> baseline_correct, std::span<const double> current,
                   std::span<const std::uint8_t> current_correct)
        : m_(baseline.size()), n_(current.size()) {
        const std::size_t total = m_ + n_;
        const std::vector<double> pooled = concat(baseline, current);
        s_ = sort_pool(pooled);
        clamped_.resize(total);
        std::vector<std::size_t> raw(total);
        for (std::size_t i = 0; i < total; ++i) {
            clamped_[i] = calibration::clamp_unit(pooled[i]);
            raw[i] = calibration::bin_index(clamped_[i], det.n_calib_bins);
        }
        std::vector<std::size_t> occupied(raw);
        std::sort(occupied.begin(), occupied.end());
        occupied.erase(std::unique(occupied.begin(), occupied.end()), occupied.end());
        nb_ = occupied.size();
        bin_.resize(total);
        flag_.resize(total);
        for (std::size_t i = 0; i < total; ++i) {
            const auto at = std::lower_bound(occupied.begin(), occupied.end(), raw[i]);
            bin_[i] = static_cast<std::uint32_t>(at - occupied.begin());
            flag_[i] = (i < m_ ? baseline_correct[i] : current_correct[i - m_]) ? 1 : 0;
        }
    }
    std::size_t parts() const noexcept override { return 2; }
    std::string part_name(std::size_t j) const override { return j == 0 ? "ks(conf)" : "ece_delta"; }
    std::unique_ptr<Scratch> scratch() const override {
        auto sc = std::make_unique<Bins>();
        sc->labels.resize(m_ + n_);
        sc->sum.resize(2 * nb_);
        sc->count.resize(2 * nb_);
        sc->correct.resize(2 * nb_);
        return sc;
    }
    void eval(Scratch& scratch, const Splits& sp, double* out) const override {
        auto& sc = static_cast<Bins&>(scratch);
        const std::size_t total = m_ + n_;
        std::uint8_t* lab = sc.labels.data();
        for (std::size_t q = 0; q < sp.count; ++q) {
            if (sp.given) {
                identity_labels(total, m_, lab);
            } else {
                Rng rng(child_seed(sp.stream, sp.first + q));
                deal(rng, total, m_, sc.work, lab);
            }
            out[2 * q] = ks_walk(s_, lab, m_, n_);
            std::fill(sc.sum.begin(), sc.sum.end(), 0.0);
            std::fill(sc.count.begin(), sc.count.end(), 0);
            std::fill(sc.correct.begin(), sc.correct.end(), 0);
            for (std::size_t i = 0; i < total; ++i) {
                const std::size_t at = (lab[i] ? 0 : nb_) + bin_[i];
                sc.sum[at] += clamped_[i];
                sc.count[at] += 1;
                sc.correct[at] += flag_[i];
            }
            double e[2] = {0.0, 0.0};
            const double sizes[2] = {static_cast<double>(m_), static_cast<double>(n_)};
            for (int side = 0; side < 2; ++side)
                for (std::size_t b = 0; b < nb_; ++b) {
                    const std::size_t at = static_cast<std::size_t>(side) * nb_ + b;
                    if (sc.count[at] != 0)
                        e[side] += calibration::bin_term(sc.sum[at], sc.correct[at], sc.count[at], sizes[side]);
                }
            out[2 * q + 1] = std::fabs(e[1] - e[0]);
        }
    }
    double combine(const double* parts) const noexcept override { return parts[0] + parts[1]; }

private:
    struct Bins : Labels {
        std::vector<double> sum;
        std::vector<std::uint64_t> count, correct;
    };
    std::size_t m_, n_, nb_ = 0;
    SortedPool s_;
    std::vector<double> clamped_;
    std::vector<std::uint32_t> bin_;
    std::vector<std::uint8_t> flag_;
};

}  // namespace

Result<FormPtr> ks_form(std::span<const double> baseline, std::span<const double> current, const char* name) {
    if (baseline.empty() || current.empty()) return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    return FormPtr(std::make_unique<KsForm>(baseline, current, name));
}

Result<FormPtr> confidence_correctness_form(const ConfidenceDriftDetector& det, std::span<const double> baseline,
                                            std::span<const std::uint8_t> baseline_correct,
                                            std::span<const double> current,
                                            std::span<const std::uint8_t> current_correct) {
    if (auto e =
            calibration::check_flags(baseline.size(), baseline_correct.size(), current.size(), current_correct.size()))
        return std::move(*e);
    if (baseline.empty() || current.empty()) return DriftError::insufficient_samples(1, 0, "ks_two_sample");
    if (det.n_calib_bins == 0) return DriftError::invalid_config("ece: n_bins must be > 0");
    return FormPtr(std::make_unique<ConfidenceForm>(det, baseline, baseline_correct, current, current_correct));
}

}  // namespace detail

Result<PermutationStats> ks_test(std::span<const double> baseline, std::span<const double> current,
                                 std::size_t n_permutations, std::uint64_t seed) {
    return detail::run(detail::ks_form(baseline, current, "ks"), n_permutations, seed);
}

Result<PermutationStats> confidence_correctness_test(const ConfidenceDriftDetector& det,
                                                     std::span<const double> baseline,
                                                     std::span<const std::uint8_t> baseline_correct,
                                                     std::span<const double> current,
                                                     std::span<const std::uint8_t> current_correct,
                                                     std::size_t n_permutations, std::uint64_t seed) {
    return detail::run(detail::confidence_correctness_form(det, baseline, baseline_correct, current, current_correct),
                       n_permutations, seed);
}

}  // namespace morvanta::permutation
