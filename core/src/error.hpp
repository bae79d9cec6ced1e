// The core's single error type and the result-or-error wrapper every kernel and
// detector returns. Nothing in the core throws across its API.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace morvanta {

enum class ErrorKind {
    DimensionMismatch,
    InsufficientSamples,
    NumericalInstability,
    InvalidConfig,
    Io,
    Serialization,
    // Not a user-facing failure: the call was interrupted (see cancel.hpp) and
    // the binding raises the pending interrupt instead of an error.
    Cancelled,
    // A buffer the machine cannot hold: its size overflows or exceeds
    // alloc_limit(). The binding raises MemoryError, not the internal fault.
    OutOfMemory,
};

// Byte counts are kept in 128 bits so that a request whose size wraps 64-bit
// arithmetic is still reported with its true size.
using ByteCount = unsigned __int128;

struct DriftError {
    ErrorKind kind = ErrorKind::InvalidConfig;
    // DimensionMismatch: expected/got; InsufficientSamples: need/got;
    // OutOfMemory: low/high 64 bits of the byte count asked for.
    std::size_t first = 0;
    std::size_t second = 0;
    const char* context = "";
    // InvalidConfig text, or the system/serialiser message for Io/Serialization,
    // or the buffer that could not be allocated for OutOfMemory.
    std::string text;

    static DriftError dimension_mismatch(std::size_t expected, std::size_t got, const char* context) {
        return DriftError{ErrorKind::DimensionMismatch, expected, got, context, {}};
    }
    static DriftError insufficient_samples(std::size_t need, std::size_t got, const char* context) {
        return DriftError{ErrorKind::InsufficientSamples, need, got, context, {}};
    }
    static DriftError numerical_instability(const char* context) {
        return DriftError{ErrorKind::NumericalInstability, 0, 0, context, {}};
    }
    static DriftError invalid_config(std::string text) {
        return DriftError{ErrorKind::InvalidConfig, 0, 0, "", std::move(text)};
    }
    static DriftError io(std::string message) { return DriftError{ErrorKind::Io, 0, 0, "", std::move(message)}; }
    static DriftError serialization(std::string message) {
        return DriftError{ErrorKind::Serialization, 0, 0, "", std::move(message)};
    }
    static DriftError cancelled() { return DriftError{ErrorKind::Cancelled, 0, 0, "", {}}; }
    // `what` names the buffer ("the projection directions"), `context` the kernel.
    static DriftError out_of_memory(ByteCount bytes, std::string what, const char* context) {
        return DriftError{ErrorKind::OutOfMemory, static_cast<std::size_t>(bytes),
                          static_cast<std::size_t>(bytes >> 64), context, std::move(what)};
    }
    ByteCount bytes() const noexcept { return (static_cast<ByteCount>(second) << 64) | first; }

    // The user-facing text, e.g. "insufficient samples: need at least 1, got 0 (ks_two_sample)",
    // or "cannot allocate 73786976294838206464 bytes for the projection directions (sliced_wasserstein)".
    std::string message() const;
};

// Short snake_case name of a kind: "dimension_mismatch", "insufficient_samples",
// "numerical_instability", "invalid_config", "io", "serialization", "cancelled",
// "out_of_memory".
const char* error_kind_name(ErrorKind kind) noexcept;

// A core error read back from its message. The fields are those of DriftError,
// with the context and text owned here.
struct DecodedError {
    ErrorKind kind = ErrorKind::InvalidConfig;
    std::size_t first = 0;
    std::size_t second = 0;
    std::string context;
    std::string text;

    ByteCount bytes() const noexcept { return (static_cast<ByteCount>(second) << 64) | first; }
    // The error these fields describe; its context points into this object.
    DriftError error() const { return DriftError{kind, first, second, context.c_str(), text}; }
};

// The exact inverse of DriftError::message(): the error whose message is
// `message`, or nothing when no error has that message. decode_error(e.message())
// gives back every field of `e` (for OutOfMemory, when its context holds no " (":
// the context is what follows the last one), and what it returns always has
// `message` as its message.
std::optional<DecodedError> decode_error(std::string_view message);

// ---------------------------------------------------------------- allocation sizes
// Buffer sizes derived from settings (n_projections, k, bin counts) or from
// dimensions that claim more than the data holds are checked before anything is
// allocated: a product that wraps would hand back a short buffer that the kernel
// then writes past, and one beyond the machine's memory would only fail later.

// The largest single request this process can expect to be granted: the
// machine's RAM plus swap (the kernel's own overcommit bound), never more than
// PTRDIFF_MAX. Read once.
std::size_t alloc_limit() noexcept;

// count[0] * count[1] * ... * elem_size, saturating at the largest ByteCount.
ByteCount byte_count(std::initializer_list<std::size_t> counts, std::size_t elem_size) noexcept;
// a + b, saturating.
ByteCount byte_sum(ByteCount a, ByteCount b) noexcept;

// OutOfMemory naming `what` when `bytes` exceeds alloc_limit(), else nothing.
std::optional<DriftError> check_alloc(ByteCount bytes, const char* what, const char* context);

// For call sites that cannot return an error: the element count
// counts[0] * counts[1] * ..., throwing std::bad_array_new_length (a
// std::bad_alloc, which the binding raises as MemoryError) when the buffer of
// that many `elem_size`-byte elements exceeds alloc_limit().
std::size_t checked_count(std::initializer_list<std::size_t> counts, std::size_t elem_size);

// Decimal text of a byte count.
std::string to_decimal(ByteCount v);

// Result-or-error. `ok()` tells which; `value()`/`error()` give access.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(DriftError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const DriftError& error() const& { return std::get<1>(v_); }
    DriftError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, DriftError> v_;
};

}  // namespace morvanta
