#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace morvanta {

// Seeded random source: a PCG32-derived 256-bit key driving ChaCha with
// `Rounds` rounds, a 64-bit block counter and stream 0, refilled four blocks at a time.
// One generator belongs to one kernel call; it is never shared between threads.
template <int Rounds>
class ChaChaRng {
public:
    static constexpr std::size_t kBufferWords = 64;  // four 16-word blocks

    explicit ChaChaRng(std::uint64_t seed) noexcept;

    std::uint32_t next_u32() noexcept;
    // The next two stream words, the earlier one as the low half (also across a refill).
    std::uint64_t next_u64() noexcept;
    // (v >> 11) * 2^-53: [0, 1).
    double uniform53() noexcept;
    // A float in [1, 2) built from the top 52 bits, minus (1 - 2^-53): (0, 1).
    double open01() noexcept;
    // 256-layer Ziggurat.
    double standard_normal() noexcept;
    // Unbiased integer in [0, n) by 128-bit multiply with rejection; n >= 1
    // (n = 0 returns 0 without drawing).
    std::uint64_t uniform_index(std::uint64_t n) noexcept;
    // Weights must be >= 0 with a positive finite total. Outside that contract the
    // result is still an index in [0, w.size()) (0 for an empty list, which draws nothing).
    std::size_t weighted_index(std::span<const float> w) noexcept;

    // Exposed for tests.
    const std::uint32_t* key() const noexcept { return key_; }
    std::uint64_t counter() const noexcept { return counter_; }
    std::size_t cursor() const noexcept { return cursor_; }

private:
    void refill() noexcept;

    std::uint32_t key_[8];
    std::uint64_t counter_ = 0;
    std::uint64_t stream_ = 0;
    std::uint32_t buf_[kBufferWords];
    std::size_t cursor_ = kBufferWords;
};

using Rng = ChaChaRng<12>;

// One ChaCha block (RFC 8439 layout with a 64-bit counter in words 12-13 and a
// 64-bit stream number in words 14-15); exposed for the test vectors.
// Instantiated for 8, 12 and 20 rounds.
template <int Rounds>
void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  std::uint32_t out[16]) noexcept;

// Ziggurat tables (257 entries each), built once.
const double* ziggurat_x() noexcept;
const double* ziggurat_f() noexcept;

}  // namespace morvanta
