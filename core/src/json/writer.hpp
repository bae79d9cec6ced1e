// Append-only text buffer for the compact JSON writers: one growing string,
// numbers formatted on the stack and appended, no temporaries on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include "json/number.hpp"

namespace morvanta::json {

class TextBuffer {
public:
    explicit TextBuffer(std::size_t initial_capacity = 128) { buf_.reserve(initial_capacity); }

    void put(char c) { buf_.push_back(c); }
    void put(std::string_view s) { buf_.append(s); }
    void put_double(double v) {
        char t[kMaxNumberChars];
        buf_.append(t, write_double(t, v));
    }
    void put_float(float v) {
        char t[kMaxNumberChars];
        buf_.append(t, write_float(t, v));
    }
    void put_u64(std::uint64_t v) {
        char t[kMaxNumberChars];
        buf_.append(t, write_u64(t, v));
    }
    void put_i64(std::int64_t v) {
        char t[kMaxNumberChars];
        buf_.append(t, write_i64(t, v));
    }
    void put_bool(bool b) { put(b ? std::string_view("true") : std::string_view("false")); }
    // A quoted JSON string: \" \\ \b \t \n \f \r, other controls as \u00xx,
    // everything else (UTF-8 included) copied as it is.
    void put_string(std::string_view s);

    // Elements separated by ',' (no brackets); the bulk paths of the writers.
    void put_doubles(const double* v, std::size_t n);
    void put_floats(const float* v, std::size_t n);
    void put_u64s(const std::uint64_t* v, std::size_t n);

    std::size_t size() const noexcept { return buf_.size(); }
    std::string take() && { return std::move(buf_); }

private:
    template <class T, char* (*Write)(char*, T) noexcept>
    void put_list(const T* v, std::size_t n);

    std::string buf_;
};

}  // namespace morvanta::json
