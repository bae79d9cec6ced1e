#include "sort.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace morvanta {
namespace {

// Doubles are reordered through their bit patterns: memcpy keeps NaN payloads
// intact and avoids aliasing a double array through an integer pointer.
inline std::uint64_t load_bits(const double* p) noexcept {
    std::uint64_t u;
    std::memcpy(&u, p, sizeof u);
    return u;
}
inline std::uint64_t load_bits(const std::uint64_t* p) noexcept { return *p; }
inline void store_bits(double* p, std::uint64_t u) noexcept { std::memcpy(p, &u, sizeof u); }
inline void store_bits(std::uint64_t* p, std::uint64_t u) noexcept { *p = u; }

constexpr std::uint64_t kSign = 0x8000000000000000ull;

// Maps the bits of a non-NaN double to an unsigned key whose integer order is the
// floating-point order: negatives are inverted, positives get the sign bit set.
// -0.0 and +0.0 end up adjacent (-0.0 first), which no comparison can tell apart.
inline std::uint64_t encode(std::uint64_t u) noexcept {
    const std::uint64_t mask = static_cast<std::uint64_t>(static_cast<std::int64_t>(u) >> 63) | kSign;
    return u ^ mask;
}
inline std::uint64_t decode(std::uint64_t k) noexcept {
    const std::uint64_t mask = static_cast<std::uint64_t>(static_cast<std::int64_t>(k ^ kSign) >> 63) | kSign;
    return k ^ mask;
}

// Eight byte-wide digits. Wider digits mean fewer passes, but beyond a few hundred
// scatter targets the writes thrash the cache and TLB on large arrays, and the
// small tables keep the fixed cost low for arrays of a few thousand.
constexpr int kDigits = 8;
constexpr int kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::uint64_t kDigitMask = kBuckets - 1;

inline std::size_t digit(std::uint64_t key, int d) noexcept {
    return static_cast<std::size_t>((key >> (d * kDigitBits)) & kDigitMask);
}

// One stable counting pass on digit d. Encode: the source holds raw double bits;
// Decode: the destination receives raw double bits.
template <bool Encode, bool Decode, class Count, class Src, class Dst>
void scatter(const Src* src, Dst* dst, std::size_t n, int d, Count* offsets) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t k = load_bits(src + i);
        if constexpr (Encode) k = encode(k);
        const std::size_t b = digit(k, d);
        store_bits(dst + offsets[b]++, Decode ? decode(k) : k);
    }
}

template <class Count>
using Histograms = std::array<std::array<Count, kBuckets>, kDigits>;

// All digit histograms in one read; returns false (histograms incomplete) at the
// first NaN.
template <class Count>
bool histogram(const double* v, std::size_t n, Histograms<Count>& hist) noexcept {
    for (auto& h : hist) h.fill(0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t u = load_bits(v + i);
        // NaN: exponent all ones and a non-zero mantissa.
        if ((u & ~kSign) > 0x7FF0000000000000ull) return false;
        const std::uint64_t k = encode(u);
        for (int d = 0; d < kDigits; ++d) ++hist[d][digit(k, d)];
    }
    return true;
}

// Sorts n numbers (no NaN) whose histograms are given.
template <class Count>
void radix_numbers(double* v, std::size_t n, Histograms<Count>& hist, std::vector<std::uint64_t>& scratch) {
    // A digit that is the same for every key leaves the order unchanged: skip it.
    const std::uint64_t first = encode(load_bits(v));
    int passes[kDigits];
    int n_passes = 0;
    for (int d = 0; d < kDigits; ++d)
        if (hist[d][digit(first, d)] != static_cast<Count>(n)) passes[n_passes++] = d;
    if (n_passes == 0) return;  // every value has the same bits

    for (int p = 0; p < n_passes; ++p) {
        Count sum = 0;
        for (auto& c : hist[passes[p]]) {
            const Count t = c;
            c = sum;
            sum += t;
        }
    }

    if (scratch.size() < n) scratch.resize(n);
    std::uint64_t* buf = scratch.data();
    // Data alternates v -> buf -> v ...; v holds keys (not doubles) in between.
    for (int p = 0; p < n_passes; ++p) {
        Count* off = hist[passes[p]].data();
        const int d = passes[p];
        const bool into_buf = (p % 2 == 0);
        const bool first_pass = (p == 0);
        const bool last_pass = (p == n_passes - 1);
        if (into_buf) {
            if (first_pass) scatter<true, false>(v, buf, n, d, off);
            else scatter<false, false>(v, buf, n, d, off);
        } else {
            if (last_pass) scatter<false, true>(buf, v, n, d, off);
            else scatter<false, false>(buf, v, n, d, off);
        }
    }
    if (n_passes % 2 == 1) {
        // Odd number of passes: the result sits in buf as keys.
        for (std::size_t i = 0; i < n; ++i) store_bits(v + i, decode(buf[i]));
    }
}

// Moves every NaN behind the numbers; returns how many numbers there are.
std::size_t partition_nan(std::span<double> v) noexcept {
    auto mid = std::partition(v.begin(), v.end(), [](double x) { return !std::isnan(x); });
    return static_cast<std::size_t>(mid - v.begin());
}

}  // namespace

namespace sort_detail {

void comparison_sort_nan_last(std::span<double> v) {
    const std::size_t n = partition_nan(v);
    std::sort(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
}

template <class Count>
void radix_sort_counted(std::span<double> v, std::vector<std::uint64_t>& scratch) {
    Histograms<Count> hist;
    std::size_t n = v.size();
    // The common case has no NaN and needs a single read before the passes.
    if (!histogram(v.data(), n, hist)) {
        n = partition_nan(v);
        histogram(v.data(), n, hist);
    }
    if (n < 2) return;
    radix_numbers(v.data(), n, hist, scratch);
}

void radix_sort_nan_last(std::span<double> v, std::vector<std::uint64_t>& scratch) {
    if (v.size() <= std::numeric_limits<std::uint32_t>::max()) radix_sort_counted<std::uint32_t>(v, scratch);
    else radix_sort_counted<std::size_t>(v, scratch);
}

}  // namespace sort_detail

void sort_nan_last(std::span<double> v, std::vector<std::uint64_t>& scratch) {
    if (v.size() < sort_detail::kRadixMin) sort_detail::comparison_sort_nan_last(v);
    else sort_detail::radix_sort_nan_last(v, scratch);
}

void sort_nan_last(std::span<double> v) {
    std::vector<std::uint64_t> scratch;
    sort_nan_last(v, scratch);
}

std::vector<double> sorted_copy(std::span<const double> v) {
    std::vector<double> out(v.begin(), v.end());
    sort_nan_last(out);
    return out;
}

std::size_t count_numbers_sorted(std::span<const double> sorted) noexcept {
    auto it = std::partition_point(sorted.begin(), sorted.end(), [](double x) { return !std::isnan(x); });
    return static_cast<std::size_t>(it - sorted.begin());
}

}  // namespace morvanta
