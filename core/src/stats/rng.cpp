#include "rng.hpp"

#include <array>
#include <bit>
#include <cmath>

namespace morvanta {
namespace {

constexpr std::uint32_t rotl32(std::uint32_t v, int r) noexcept { return (v << r) | (v >> (32 - r)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) noexcept {
    a += b;
    d ^= a;
    d = rotl32(d, 16);
    c += d;
    b ^= c;
    b = rotl32(b, 12);
    a += b;
    d ^= a;
    d = rotl32(d, 8);
    c += d;
    b ^= c;
    b = rotl32(b, 7);
}

// Tail start and layer area of the 256-layer Ziggurat for exp(-x^2/2).
constexpr double kZigR = 3.654152885361009;
constexpr double kZigV = 0.00492867323399;

inline double half_gauss(double x) noexcept { return std::exp(x * x * -0.5); }

struct ZigguratTables {
    std::array<double, 257> x{};
    std::array<double, 257> f{};

    ZigguratTables() noexcept {
        x[0] = kZigV / half_gauss(kZigR);
        x[1] = kZigR;
        for (int i = 2; i < 256; ++i) x[i] = std::sqrt(-2.0 * std::log(kZigV / x[i - 1] + half_gauss(x[i - 1])));
        x[256] = 0.0;
        for (int i = 0; i < 257; ++i) f[i] = half_gauss(x[i]);
    }
};

const ZigguratTables& tables() noexcept {
    static const ZigguratTables t;  // built once, thread-safe initialisation
    return t;
}

}  // namespace

const double* ziggurat_x() noexcept { return tables().x.data(); }
const double* ziggurat_f() noexcept { return tables().f.data(); }

template <int Rounds>
void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  std::uint32_t out[16]) noexcept {
    static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
    // "expand 32-byte k" as four little-endian words.
    const std::uint32_t in[16] = {0x61707865u,
                                  0x3320646eu,
                                  0x79622d32u,
                                  0x6b206574u,
                                  key[0],
                                  key[1],
                                  key[2],
                                  key[3],
                                  key[4],
                                  key[5],
                                  key[6],
                                  key[7],
                                  static_cast<std::uint32_t>(counter),
                                  static_cast<std::uint32_t>(counter >> 32),
                                  static_cast<std::uint32_t>(stream),
                                  static_cast<std::uint32_t>(stream >> 32)};
    std::uint32_t s[16];
    for (int i = 0; i < 16; ++i) s[i] = in[i];
    for (int r = 0; r < Rounds; r += 2) {
        quarter_round(s[0], s[4], s[8], s[12]);
        quarter_round(s[1], s[5], s[9], s[13]);
        quarter_round(s[2], s[6], s[10], s[14]);
        quarter_round(s[3], s[7], s[11], s[15]);
        quarter_round(s[0], s[5], s[10], s[15]);
        quarter_round(s[1], s[6], s[11], s[12]);
        quarter_round(s[2], s[7], s[8], s[13]);
        quarter_round(s[3], s[4], s[9], s[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = s[i] + in[i];
}

template <int Rounds>
ChaChaRng<Rounds>::ChaChaRng(std::uint64_t seed) noexcept {
    // Eight PCG32 (XSH-RR) outputs, the state advanced before each one.
    std::uint64_t t = seed;
    for (int k = 0; k < 8; ++k) {
        t = t * 6364136223846793005ull + 11634580027462260723ull;
        const auto x = static_cast<std::uint32_t>(((t >> 18) ^ t) >> 27);
        const auto r = static_cast<int>(t >> 59);
        key_[k] = std::rotr(x, r);
    }
    for (auto& w : buf_) w = 0;
}

template <int Rounds>
void ChaChaRng<Rounds>::refill() noexcept {
    for (std::uint64_t b = 0; b < 4; ++b) chacha_block<Rounds>(key_, counter_ + b, stream_, buf_ + 16 * b);
    counter_ += 4;
}

template <int Rounds>
std::uint32_t ChaChaRng<Rounds>::next_u32() noexcept {
    if (cursor_ == kBufferWords) {
        refill();
        cursor_ = 0;
    }
    return buf_[cursor_++];
}

template <int Rounds>
std::uint64_t ChaChaRng<Rounds>::next_u64() noexcept {
    std::uint64_t lo;
    std::uint64_t hi;
    if (cursor_ + 1 < kBufferWords) {
        lo = buf_[cursor_];
        hi = buf_[cursor_ + 1];
        cursor_ += 2;
    } else if (cursor_ + 1 == kBufferWords) {
        lo = buf_[kBufferWords - 1];
        refill();
        hi = buf_[0];
        cursor_ = 1;
    } else {
        refill();
        lo = buf_[0];
        hi = buf_[1];
        cursor_ = 2;
    }
    return (hi << 32) | lo;
}

template <int Rounds>
double ChaChaRng<Rounds>::uniform53() noexcept {
    return static_cast<double>(next_u64() >> 11) * 0x1p-53;
}

template <int Rounds>
double ChaChaRng<Rounds>::open01() noexcept {
    const std::uint64_t v = next_u64();
    return std::bit_cast<double>((v >> 12) | 0x3FF0000000000000ull) - 0.9999999999999999;
}

template <int Rounds>
double ChaChaRng<Rounds>::standard_normal() noexcept {
    const ZigguratTables& t = tables();
    for (;;) {
        const std::uint64_t v = next_u64();
        const std::size_t i = static_cast<std::size_t>(v & 0xFF);
        const double u = std::bit_cast<double>((v >> 12) | 0x4000000000000000ull) - 3.0;
        double x = u * t.x[i];
        if (std::fabs(x) < t.x[i + 1]) return x;
        if (i == 0) {
            // Base layer: its overhang is the tail beyond R (Marsaglia's tail method).
            double y;
            do {
                const double x1 = open01();
                const double y1 = open01();
                x = std::log(x1) / kZigR;
                y = std::log(y1);
            } while (x * x > -2.0 * y);
            return u < 0.0 ? x - kZigR : kZigR - x;
        }
        const double g = uniform53();
        if (half_gauss(x) > (t.f[i] - t.f[i + 1]) * g + t.f[i + 1]) return x;
    }
}

template <int Rounds>
std::uint64_t ChaChaRng<Rounds>::uniform_index(std::uint64_t n) noexcept {
    if (n == 0) return 0;
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const unsigned __int128 p = static_cast<unsigned __int128>(next_u64()) * n;
        if (static_cast<std::uint64_t>(p) <= zone) return static_cast<std::uint64_t>(p >> 64);
    }
}

template <int Rounds>
std::size_t ChaChaRng<Rounds>::weighted_index(std::span<const float> w) noexcept {
    const std::size_t n = w.size();
    if (n == 0) return 0;
    // The n - 1 stored cumulative sums are recomputed in the same order on the
    // second pass instead of being kept, so no allocation is needed.
    float total = w[0];
    for (std::size_t k = 1; k < n; ++k) total += w[k];

    // Shrink the scale until q * s stays below the total for every q < 1.
    float s = total;
    while (s * 0.99999988f >= total) s = std::bit_cast<float>(std::bit_cast<std::uint32_t>(s) - 1u);

    const std::uint32_t a = next_u32();
    const float q = std::bit_cast<float>((a >> 9) | 0x3F800000u) - 1.0f;
    const float x = q * s;

    // Count of sums c[k] <= x; the sums are non-decreasing for non-negative
    // weights, so the first one above x ends the count.
    std::size_t k = 0;
    float c = w[0];
    while (k + 1 < n && c <= x) {
        ++k;
        c += w[k];
    }
    return k;
}

template class ChaChaRng<8>;
template class ChaChaRng<12>;
template class ChaChaRng<20>;
template void chacha_block<8>(const std::uint32_t*, std::uint64_t, std::uint64_t, std::uint32_t*) noexcept;
template void chacha_block<12>(const std::uint32_t*, std::uint64_t, std::uint64_t, std::uint32_t*) noexcept;
template void chacha_block<20>(const std::uint32_t*, std::uint64_t, std::uint64_t, std::uint32_t*) noexcept;

}  // namespace morvanta
