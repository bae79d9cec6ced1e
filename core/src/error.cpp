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
            return "dimension mismatch: expected " + std::to_string(first) + ", got " + std::to_string(second) + " (" +
                   context + ")";
        case ErrorKind::InsufficientSamples:
            return "insufficient samples: need at least " + std::to_string(first) + ", got " + std::to_string(second) +
                   " (" + context + ")";
        case ErrorKind::NumericalInstability:
            return std::string("numerical instability in ") + context + " (NaN or infinity)";
        case ErrorKind::InvalidConfig: return "invalid configuration: " + text;
        case ErrorKind::Io: return "io error: " + text;
        case ErrorKind::Serialization: return "serialization error: " + text;
        case ErrorKind::Cancelled: return "interrupted";
        case ErrorKind::OutOfMemory:
            return "cannot allocate " + to_decimal(bytes()) + " bytes for " + text + " (" + context + ")";
    }
    return text;
}

namespace {

constexpr ByteCount kSaturated = ~ByteCount{0};
// What to_decimal writes for a byte count that saturated.
constexpr std::string_view kSaturatedText = "more than 340282366920938463463374607431768211454";

bool take(std::string_view& s, std::string_view prefix) {
    if (!s.starts_with(prefix)) return false;
    s.remove_prefix(prefix.size());
    return true;
}

// Leading decimal digits of `s` as a value of at most `max`; false when there
// are none or they exceed `max`. Leading zeros are accepted here and refused
// by the re-encoding check of decode_error.
bool take_decimal(std::string_view& s, ByteCount max, ByteCount& out) {
    std::size_t n = 0;
    ByteCount v = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
        const auto digit = static_cast<unsigned>(s[n] - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
        ++n;
    }
    if (n == 0) return false;
    s.remove_prefix(n);
    out = v;
    return true;
}

bool take_size(std::string_view& s, std::size_t& out) {
    ByteCount v = 0;
    if (!take_decimal(s, static_cast<std::size_t>(-1), v)) return false;
    out = static_cast<std::size_t>(v);
    return true;
}

// "<first>, got <second> (<context>)", the tail of the two counting kinds.
bool take_counts(std::string_view s, DecodedError& d) {
    if (!take_size(s, d.first) || !take(s, ", got ") || !take_size(s, d.second) || !take(s, " (") || !s.ends_with(')'))
        return false;
    d.context = s.substr(0, s.size() - 1);
    return true;
}

bool decode_into(std::string_view s, DecodedError& d) {
    if (take(s, "dimension mismatch: expected ")) {
        d.kind = ErrorKind::DimensionMismatch;
        return take_counts(s, d);
    }
    if (take(s, "insufficient samples: need at least ")) {
        d.kind = ErrorKind::InsufficientSamples;
        return take_counts(s, d);
    }
    if (take(s, "numerical instability in ")) {
        d.kind = ErrorKind::NumericalInstability;
        constexpr std::string_view suffix = " (NaN or infinity)";
        if (!s.ends_with(suffix)) return false;
        d.context = s.substr(0, s.size() - suffix.size());
        return true;
    }
    const struct {
        std::string_view prefix;
        ErrorKind kind;
    } texts[] = {
        {"invalid configuration: ", ErrorKind::InvalidConfig},
        {"io error: ", ErrorKind::Io},
        {"serialization error: ", ErrorKind::Serialization},
    };
    for (const auto& t : texts) {
        if (take(s, t.prefix)) {
            d.kind = t.kind;
            d.text = s;
            return true;
        }
    }
    if (s == "interrupted") {
        d.kind = ErrorKind::Cancelled;
        return true;
    }
    if (take(s, "cannot allocate ")) {
        d.kind = ErrorKind::OutOfMemory;
        ByteCount bytes = 0;
        if (take(s, kSaturatedText)) bytes = kSaturated;
        else if (!take_decimal(s, kSaturated, bytes)) return false;
        if (!take(s, " bytes for ") || !s.ends_with(')')) return false;
        const std::size_t at = s.rfind(" (");
        if (at == std::string_view::npos) return false;
        d.first = static_cast<std::size_t>(bytes);
        d.second = static_cast<std::size_t>(bytes >> 64);
        d.text = s.substr(0, at);
        d.context = s.substr(at + 2, s.size() - at - 3);
        return true;
    }
    return false;
}

std::size_t machine_memory() noexcept {
    constexpr std::size_t cap = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
#if defined(__linux__)
    struct sysinfo info{};
    if (sysinfo(&info) == 0) {
        const ByteCount total =
            (static_cast<ByteCount>(info.totalram) + info.totalswap) * (info.mem_unit ? info.mem_unit : 1);
        if (total > 0 && total < cap) return static_cast<std::size_t>(total);
    }
#endif
    return cap;
}

}  // namespace

const char* error_kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::DimensionMismatch: return "dimension_mismatch";
        case ErrorKind::InsufficientSamples: return "insufficient_samples";
        case ErrorKind::NumericalInstability: return "numerical_instability";
        case ErrorKind::InvalidConfig: return "invalid_config";
        case ErrorKind::Io: return "io";
        case ErrorKind::Serialization: return "serialization";
        case ErrorKind::Cancelled: return "cancelled";
        case ErrorKind::OutOfMemory: return "out_of_memory";
    }
    return "unknown";
}

std::optional<DecodedError> decode_error(std::string_view message) {
    DecodedError d;
    // Only the canonical text decodes (no leading zeros, say): what comes back
    // always formats to `message` again.
    if (!decode_into(message, d) || d.error().message() != message) return std::nullopt;
    return d;
}

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
    if (v == kSaturated) return std::string(kSaturatedText);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return digits;
}

}  // namespace morvanta
