// The core's single error type and the result-or-error wrapper every kernel and
// detector returns. Nothing in the core throws across its API.
#pragma once

#include <cstddef>
#include <string>
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
};

struct DriftError {
    ErrorKind kind = ErrorKind::InvalidConfig;
    // DimensionMismatch: expected/got; InsufficientSamples: need/got.
    std::size_t first = 0;
    std::size_t second = 0;
    const char* context = "";
    // InvalidConfig text, or the system/serialiser message for Io/Serialization.
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
    static DriftError io(std::string message) {
        return DriftError{ErrorKind::Io, 0, 0, "", std::move(message)};
    }
    static DriftError serialization(std::string message) {
        return DriftError{ErrorKind::Serialization, 0, 0, "", std::move(message)};
    }
    static DriftError cancelled() { return DriftError{ErrorKind::Cancelled, 0, 0, "", {}}; }

    // The user-facing text, e.g. "insufficient samples: need at least 1, got 0 (ks_two_sample)".
    std::string message() const;
};

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
