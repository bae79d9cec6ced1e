#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace morvanta {

// Seeded random source: a PCG32-derived 256-bit key driving ChaCha with
// `Rounds` rounds, a 64-bit block counter and stream 0, refilled four blocks at a time.
template <int Rounds>
class ChaChaRng {
public:
    explicit ChaChaRng(std::uint64_t seed) noexcept;

    std::uint32_t next_u32() noexcept;
    std::uint64_t next_u64() noexcept;
    double uniform53() noexcept;
    double open01() noexcept;
    double standard_normal() noexcept;
    std::uint64_t uniform_index(std::uint64_t n) noexcept;  // n >= 1
    // Weights must be >= 0 with a positive finite total.
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
    std::uint32_t buf_[64];
    std::size_t cursor_ = 64;
};

using Rng = ChaChaRng<12>;

// One ChaCha block (RFC 8439 layout with a 64-bit counter in words 12-13 and a
// 64-bit stream number in words 14-15); exposed for the test vectors.
template <int Rounds>
void chacha_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                  std::uint32_t out[16]) noexcept;

// Ziggurat tables (257 entries each), built once.
const double* ziggurat_x() noexcept;
const double* ziggurat_f() noexcept;

}  // namespace morvanta
