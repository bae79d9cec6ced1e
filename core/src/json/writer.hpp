// Append-only text buffer for the compact JSON writers: one growing string,
// numbers formatted straight into its free space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include "json/number.hpp"

namespace morvanta::json {

class TextBuffer {
public:
    explicit TextBuffer(std::size_t initial_capacity = 128) { buf_.resize(initial_capacity); }

    void put(char c) {
        room(1)[0] = c;
        ++len_;
    }
    void put(std::string_view s) {
        if (s.empty()) return;  // data() may be null
        std::memcpy(room(s.size()), s.data(), s.size());
        len_ += s.size();
    }
    void put_double(double v) { len_ = static_cast<std::size_t>(write_double(room(kMaxNumberChars), v) - buf_.data()); }
    void put_float(float v) { len_ = static_cast<std::size_t>(write_float(room(kMaxNumberChars), v) - buf_.data()); }
    void put_u64(std::uint64_t v) { len_ = static_cast<std::size_t>(write_u64(room(kMaxNumberChars), v) - buf_.data()); }
    void put_i64(std::int64_t v) { len_ = static_cast<std::size_t>(write_i64(room(kMaxNumberChars), v) - buf_.data()); }
    void put_bool(bool b) { put(b ? std::string_view("true") : std::string_view("false")); }
    // A quoted JSON string: \" \\ \b \t \n \f \r, other controls as \u00xx,
    // everything else (UTF-8 included) copied as it is.
    void put_string(std::string_view s);

    // Elements separated by ',' (no brackets); the bulk paths of the writers.
    void put_doubles(const double* v, std::size_t n);
    void put_floats(const float* v, std::size_t n);
    void put_u64s(const std::uint64_t* v, std::size_t n);

    std::size_t size() const noexcept { return len_; }
    std::string take() && {
        buf_.resize(len_);
        return std::move(buf_);
    }

private:
    // Pointer to at least n writable bytes at the end of the text.
    char* room(std::size_t n) {
        if (buf_.size() - len_ < n) grow(n);
        return buf_.data() + len_;
    }
    void grow(std::size_t n);

    std::string buf_;  // size() is the capacity in use; len_ bytes hold text
    std::size_t len_ = 0;
};

}  // namespace morvanta::json
