#include "error.hpp"

#include <cstdint>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace morvanta {

std::string DriftError::message() const {
    switch (kind) {
        case ErrorKind::DimensionMismatch:
            return "dimension mismatch: expected " + std::to_string(first) + ", got " +
                   std::to_string(second) + " (" + context + ")";
        case ErrorKind::InsufficientSamples:
            return "insufficient samples: need at least " + std::to_string(first) + ", got " +
                   std::to_string(second) + " (" + context + ")";
        case ErrorKind::NumericalInstability:
            return std::string("numerical instability in ") + context + " (NaN or infinity)";
        case ErrorKind::InvalidConfig:
            return "invalid configuration: " + text;
        case ErrorKind::Io:
            return "io error: " + text;
        case ErrorKind::Serialization:
            return "serialization error: " + text;
        case ErrorKind::Cancelled:
            return "interrupted";
        case ErrorKind::OutOfMemory:
            return "cannot allocate " + to_decimal(bytes()) + " bytes for " + text + " (" + context + ")";
    }
    return text;
}

namespace {

constexpr ByteCount kSaturated = ~ByteCount{0};

std::size_t machine_memory() noexcept {
    constexpr std::size_t cap = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
#if defined(__linux__)
    struct sysinfo info {};
    if (sysinfo(&info) == 0) {
        const ByteCount total =
            (static_cast<ByteCount>(info.totalram) + info.totalswap) * (info.mem_unit ? info.mem_unit : 1);
        if (total > 0 && total < cap) return static_cast<std::size_t>(total);
    }
#endif
    return cap;
}

}  // namespace

std::size_t alloc_limit() noexcept {
    static const std::size_t limit = machine_memory();
    return limit;
}

ByteCount byte_count(std::initializer_list<std::size_t> counts, std::size_t elem_size) noexcept {
    ByteCount total = elem_size;
    for (std::size_t c : counts) {
        if (c == 0) return 0;
        if (total > kSaturated / c) total = kSaturated;
        else total *= c;
    }
    return total;
}

ByteCount byte_sum(ByteCount a, ByteCount b) noexcept { return a > kSaturated - b ? kSaturated : a + b; }

std::optional<DriftError> check_alloc(ByteCount bytes, const char* what, const char* context) {
    if (bytes <= alloc_limit()) return std::nullopt;
    return DriftError::out_of_memory(bytes, what, context);
}

std::size_t checked_count(std::initializer_list<std::size_t> counts, std::size_t elem_size) {
    if (byte_count(counts, elem_size) > alloc_limit()) throw std::bad_array_new_length();
    std::size_t n = 1;
    for (std::size_t c : counts) n *= c;  // cannot wrap: the byte count fits
    return n;
}

std::string to_decimal(ByteCount v) {
    if (v == kSaturated) return "more than 340282366920938463463374607431768211454";
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return digits;
}

}  // namespace morvanta
