#include "priority.hpp"

#include <string>

#include "../cancel.hpp"
#include "../pool.hpp"

namespace morvanta::sample {
namespace {

constexpr std::uint64_t kGamma = 0x9e3779b97f4a7c15ULL;    // SplitMix64's increment
constexpr std::size_t kGrainBytes = std::size_t{1} << 20;  // about a megabyte of rows per pool range

std::uint64_t load_le(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i) w |= std::uint64_t{p[i]} << (8 * i);
    return w;
}

}  // namespace

std::uint64_t mix64(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t row_priority(std::span<const std::uint8_t> row, std::uint64_t seed) noexcept {
    const std::size_t n = row.size();
    std::uint64_t h = mix64(seed + kGamma * (std::uint64_t{n} + 1));
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) h = mix64((h ^ load_le(row.data() + i, 8)) + kGamma);
    if (i < n) h = mix64((h ^ load_le(row.data() + i, n - i)) + kGamma);
    return mix64(h ^ std::uint64_t{n});
}

Result<std::vector<std::uint64_t>> row_priorities(std::span<const std::uint8_t> data, std::size_t row_bytes,
                                                  std::size_t n_rows, std::uint64_t seed) {
    if (row_bytes == 0) {
        if (!data.empty()) return DriftError::invalid_config("row priorities: bytes given for rows of no bytes");
    } else {
        if (data.size() % row_bytes != 0)
            return DriftError::invalid_config("row priorities: " + std::to_string(data.size()) +
                                              " bytes are no whole number of rows of " + std::to_string(row_bytes));
        n_rows = data.size() / row_bytes;
    }
    std::vector<std::uint64_t> out(checked_count({n_rows}, sizeof(std::uint64_t)));
    const std::size_t grain = row_bytes == 0 ? n_rows + 1 : kGrainBytes / row_bytes + 1;
    const PoolRun run = pool_parallel_for(n_rows, grain, [&](std::size_t b, std::size_t e) {
        if (cancelled()) return;
        for (std::size_t r = b; r < e; ++r) out[r] = row_priority(data.subspan(r * row_bytes, row_bytes), seed);
    });
    if (run.fault) std::rethrow_exception(run.fault);
    if (run.cancelled || cancelled()) return DriftError::cancelled();
    return out;
}

}  // namespace morvanta::sample
