// Streaming JSON reader: the caller walks the text token by token and parses
// each value straight into its destination; no document tree is built.
//
// Every failing call returns false and records one message ending in
// " at line L column C": L is 1 + the number of line feeds before the point
// where reading stopped, C the number of bytes between the last line feed (or
// the start) and that point. The offending byte counts as read, so "x" fails
// at column 1 and an empty text at column 0. Only the first failure is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvanta::json {

struct NumberToken {
    const char* begin = nullptr;  // sign included
    const char* end = nullptr;
    bool negative = false;
    bool integer = true;  // no fraction and no exponent
};

class Reader {
public:
    explicit Reader(std::string_view text) noexcept
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    const std::string& error() const noexcept { return error_; }
    bool failed() const noexcept { return !error_.empty(); }

    void skip_ws() noexcept {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    // The next byte after whitespace, or -1 at the end of the text.
    int peek() noexcept {
        skip_ws();
        return p_ < end_ ? static_cast<unsigned char>(*p_) : -1;
    }
    void advance() noexcept { ++p_; }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    // After the whole value: only whitespace may remain.
    bool finish();

    // Object entries, after '{' was consumed. Returns 1 with the decoded key
    // (the ':' not yet read), 0 when '}' was consumed, -1 on failure.
    int next_key(bool first, std::string& key);
    bool expect_colon();
    // Array elements, after '[' was consumed. Returns 1 when an element
    // follows, 0 when ']' was consumed, -1 on failure.
    int next_element(bool first);

    // Skips any one value. Nesting is tracked on a heap stack, never by
    // recursion, so depth is bounded only by the length of the text.
    bool skip_value();

    // Typed values; each starts at a value position (whitespace allowed) and
    // fails with "invalid type: ..., expected <expected>" on another kind.
    bool read_f64(double& out);
    bool read_f32(float& out);
    bool read_u64(std::uint64_t& out, const char* expected = "u64", std::uint64_t max = UINT64_MAX);
    bool read_i64(std::int64_t& out, const char* expected = "i64");
    // True with `is_null` set when the next value is null (consumed).
    bool try_null(bool& is_null);

    // Fails with "invalid type: <what comes next>, expected <expected>",
    // reading the offending value (a syntax error inside it wins).
    bool type_error(const char* expected);
    // Records `message` at the current position; always returns false.
    bool fail(std::string_view message);

    // Decodes a string whose opening quote was consumed (out may be null).
    bool read_string_body(std::string* out);
    bool scan_number(NumberToken& tok);

private:
    bool read_literal(const char* word, std::size_t len);
    bool read_hex4(unsigned& cp);
    bool read_escape(std::string* out);
    bool read_utf8(std::string* out);
    bool integer_value(const NumberToken& tok, std::uint64_t& magnitude, const char* expected);
    bool invalid_value(const NumberToken& tok, const char* expected);

    const char* begin_;
    const char* p_;
    const char* end_;
    std::string error_;
};

// At most `limit` bytes of `s`, cut at a UTF-8 boundary, with "..." when cut.
std::string shorten(std::string_view s, std::size_t limit = 64);

}  // namespace morvanta::json
