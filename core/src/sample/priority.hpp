// Row priorities of the bottom-k baseline sample.
//
// A baseline fitted from many partitions keeps, per part, the k rows of smallest
// priority. The priority is a seeded 64-bit hash of the row's content bytes
// only (never of its partition or position), so every partitioning of the same
// rows keeps the same rows, and merging the k smallest of each partition gives
// the k smallest of all. The hash reads the bytes as little-endian 64-bit words
// (the last one zero-padded) and folds each through the SplitMix64 finaliser;
// the length is folded in at both ends so a row and its zero-padded extension
// differ. The values are fixed by this definition on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../error.hpp"

namespace morvanta::sample {

// The SplitMix64 output function of state `z` (the state already advanced).
std::uint64_t mix64(std::uint64_t z) noexcept;

// The priority of one row of bytes under `seed`.
std::uint64_t row_priority(std::span<const std::uint8_t> row, std::uint64_t seed) noexcept;

// The priority of each row of `row_bytes` bytes stored back to back in `data`
// (a multiple of row_bytes long; row_bytes 0 means rows of no bytes, and then
// `n_rows` says how many). Runs on the pool for long inputs; every row is
// hashed on its own, so the result does not depend on the thread count.
// Cancellable; invalid_config when the length is no multiple of row_bytes.
Result<std::vector<std::uint64_t>> row_priorities(std::span<const std::uint8_t> data, std::size_t row_bytes,
                                                  std::size_t n_rows, std::uint64_t seed);

}  // namespace morvanta::sample
