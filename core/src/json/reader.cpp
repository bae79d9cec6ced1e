#include "json/reader.hpp"

#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

namespace morvanta::json {

namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kBadUtf8 = "invalid UTF-8 in string";
constexpr std::string_view kLoneLeading = "lone leading surrogate in hex escape";

inline bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// For a number token that does not convert: true when its magnitude is below
// one (an underflow), false when it is too large. Only tokens with a nonzero
// digit get here, since zeros always convert.
bool below_one(const NumberToken& t) noexcept {
    const char* p = t.begin + (t.negative ? 1 : 0);
    const char* q = p;
    while (q < t.end && is_digit(*q)) ++q;
    const char* nz = p;
    while (nz < q && *nz == '0') ++nz;
    long long lead;  // decimal exponent of the leading nonzero digit
    if (nz < q) {
        lead = q - nz - 1;
    } else {
        lead = -1;
        if (q < t.end && *q == '.') {
            ++q;
            while (q < t.end && *q == '0') {
                ++q;
                --lead;
            }
        }
    }
    while (q < t.end && *q != 'e' && *q != 'E') ++q;
    long long exp = 0;
    if (q < t.end) {
        ++q;
        bool neg = false;
        if (*q == '+' || *q == '-') neg = *q++ == '-';
        for (; q < t.end; ++q)
            if (exp < 1'000'000'000'000'000LL) exp = exp * 10 + (*q - '0');  // saturates
        if (neg) exp = -exp;
    }
    return lead + exp < 0;
}

template <class F>
bool convert_float(const NumberToken& t, F& out) noexcept {
    const auto r = std::from_chars(t.begin, t.end, out);
    if (r.ec == std::errc()) return r.ptr == t.end;  // the grammar was checked; a short parse would be a fault
    // from_chars leaves `out` alone on a range error; an underflow rounds to a
    // signed zero, an overflow is refused (no infinity can be written back).
    if (below_one(t)) {
        out = t.negative ? -F(0) : F(0);
        return true;
    }
    return false;
}

}  // namespace

std::string shorten(std::string_view s, std::size_t limit) {
    if (s.size() <= limit) return std::string(s);
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return std::string(s.substr(0, cut)) + "...";
}

bool Reader::fail(std::string_view message) {
    if (!error_.empty()) return false;
    std::size_t line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < p_; ++q)
        if (*q == '\n') {
            ++line;
            line_start = q + 1;
        }
    error_.reserve(message.size() + 40);
    error_.append(message);
    error_ += " at line " + std::to_string(line) + " column " + std::to_string(p_ - line_start);
    return false;
}

bool Reader::finish() {
    skip_ws();
    if (p_ == end_) return true;
    ++p_;
    return fail("trailing characters");
}

int Reader::next_key(bool first, std::string& key) {
    skip_ws();
    if (p_ == end_) return fail(kEofObject), -1;
    if (*p_ == '}') {
        ++p_;
        return 0;
    }
    if (!first) {
        if (*p_ != ',') {
            ++p_;
            return fail("expected `,` or `}`"), -1;
        }
        ++p_;
        skip_ws();
        if (p_ == end_) return fail(kEofObject), -1;
        if (*p_ == '}') {
            ++p_;
            return fail("trailing comma"), -1;
        }
    }
    if (*p_ != '"') {
        ++p_;
        return fail("key must be a string"), -1;
    }
    ++p_;
    key.clear();
    return read_string_body(&key) ? 1 : -1;
}

bool Reader::expect_colon() {
    skip_ws();
    if (p_ == end_) return fail(kEofObject);
    if (*p_++ == ':') return true;
    return fail("expected `:`");
}

int Reader::next_element(bool first) {
    skip_ws();
    if (p_ == end_) return fail(kEofList), -1;
    if (*p_ == ']') {
        ++p_;
        return 0;
    }
    if (first) return 1;
    if (*p_ != ',') {
        ++p_;
        return fail("expected `,` or `]`"), -1;
    }
    ++p_;
    skip_ws();
    if (p_ < end_ && *p_ == ']') {
        ++p_;
        return fail("trailing comma"), -1;
    }
    return 1;  // an end of text here is reported by the element's reader
}

bool Reader::read_literal(const char* word, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (p_ == end_) return fail(kEofValue);
        if (*p_++ != word[i]) return fail("invalid literal");
    }
    return true;
}

bool Reader::scan_number(NumberToken& t) {
    t.begin = p_;
    t.negative = false;
    t.integer = true;
    if (*p_ == '-') {
        t.negative = true;
        ++p_;
        if (p_ == end_) return fail(kEofValue);
    }
    if (*p_ == '0') {
        ++p_;
        if (p_ < end_ && is_digit(*p_)) {
            ++p_;
            return fail("invalid number");  // leading zero
        }
    } else if (is_digit(*p_)) {
        while (p_ < end_ && is_digit(*p_)) ++p_;
    } else {
        ++p_;
        return fail("invalid number");
    }
    if (p_ < end_ && *p_ == '.') {
        t.integer = false;
        ++p_;
        if (p_ == end_) return fail(kEofValue);
        if (!is_digit(*p_)) {
            ++p_;
            return fail("invalid number");
        }
        while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        t.integer = false;
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (p_ == end_) return fail(kEofValue);
        if (!is_digit(*p_)) {
            ++p_;
            return fail("invalid number");
        }
        while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    t.end = p_;
    return true;
}

bool Reader::read_hex4(unsigned& cp) {
    cp = 0;
    for (int i = 0; i < 4; ++i) {
        if (p_ == end_) return fail(kEofString);
        const int h = hex_value(*p_++);
        if (h < 0) return fail("invalid escape");
        cp = cp * 16 + static_cast<unsigned>(h);
    }
    return true;
}

bool Reader::read_escape(std::string* out) {
    if (p_ == end_) return fail(kEofString);
    char c;
    switch (*p_++) {
        case '"': c = '"'; break;
        case '\\': c = '\\'; break;
        case '/': c = '/'; break;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'u': {
            unsigned cp;
            if (!read_hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("invalid unicode code point");
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                // Must be followed at once by the trailing half of the pair.
                for (char want : {'\\', 'u'}) {
                    if (p_ == end_) return fail(kEofString);
                    if (*p_++ != want) return fail(kLoneLeading);
                }
                unsigned lo;
                if (!read_hex4(lo)) return false;
                if (lo < 0xDC00 || lo > 0xDFFF) return fail(kLoneLeading);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            if (out) append_utf8(*out, cp);
            return true;
        }
        default: return fail("invalid escape");
    }
    if (out) out->push_back(c);
    return true;
}

bool Reader::read_utf8(std::string* out) {
    const auto lead = static_cast<unsigned char>(*p_);
    int len;
    unsigned cp, min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2, cp = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3, cp = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4, cp = lead & 0x07u, min = 0x10000;
    } else {
        ++p_;
        return fail(kBadUtf8);
    }
    const char* start = p_++;
    for (int i = 1; i < len; ++i) {
        if (p_ == end_) return fail(kEofString);
        const auto c = static_cast<unsigned char>(*p_++);
        if ((c & 0xC0) != 0x80) return fail(kBadUtf8);
        cp = (cp << 6) | (c & 0x3Fu);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return fail(kBadUtf8);
    if (out) out->append(start, static_cast<std::size_t>(len));
    return true;
}

bool Reader::read_string_body(std::string* out) {
    for (;;) {
        const char* run = p_;
        while (p_ < end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
            ++p_;
        }
        if (out) out->append(run, static_cast<std::size_t>(p_ - run));
        if (p_ == end_) return fail(kEofString);
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"') {
            ++p_;
            return true;
        }
        if (c == '\\') {
            ++p_;
            if (!read_escape(out)) return false;
        } else if (c < 0x20) {
            ++p_;
            return fail("control character (\\u0000-\\u001F) found while parsing a string");
        } else if (!read_utf8(out)) {
            return false;
        }
    }
}

bool Reader::skip_value() {
    std::string open;  // '{' or '[' per enclosing container
    for (;;) {
        // A value starts here.
        skip_ws();
        if (p_ == end_) return fail(kEofValue);
        const char c = *p_;
        bool scalar = true;
        if (c == '{') {
            ++p_;
            skip_ws();
            if (p_ == end_) return fail(kEofObject);
            if (*p_ == '}') {
                ++p_;
            } else {
                if (*p_ != '"') {
                    ++p_;
                    return fail("key must be a string");
                }
                ++p_;
                if (!read_string_body(nullptr) || !expect_colon()) return false;
                open.push_back('{');
                scalar = false;
            }
        } else if (c == '[') {
            ++p_;
            skip_ws();
            if (p_ == end_) return fail(kEofList);
            if (*p_ == ']') {
                ++p_;
            } else {
                open.push_back('[');
                scalar = false;
            }
        } else if (c == '"') {
            ++p_;
            if (!read_string_body(nullptr)) return false;
        } else if (c == 't') {
            if (!read_literal("true", 4)) return false;
        } else if (c == 'f') {
            if (!read_literal("false", 5)) return false;
        } else if (c == 'n') {
            if (!read_literal("null", 4)) return false;
        } else if (c == '-' || is_digit(c)) {
            NumberToken t;
            if (!scan_number(t)) return false;
        } else {
            ++p_;
            return fail("expected value");
        }
        if (!scalar) continue;

        // A value ended: close containers until one continues or none is left.
        for (;;) {
            if (open.empty()) return true;
            const bool in_object = open.back() == '{';
            skip_ws();
            if (p_ == end_) return fail(in_object ? kEofObject : kEofList);
            const char d = *p_++;
            if (d == (in_object ? '}' : ']')) {
                open.pop_back();
                continue;
            }
            if (d != ',') return fail(in_object ? "expected `,` or `}`" : "expected `,` or `]`");
            skip_ws();
            if (p_ < end_ && *p_ == (in_object ? '}' : ']')) {
                ++p_;
                return fail("trailing comma");
            }
            if (in_object) {
                if (p_ == end_) return fail(kEofObject);
                if (*p_++ != '"') return fail("key must be a string");
                if (!read_string_body(nullptr) || !expect_colon()) return false;
            }
            break;
        }
    }
}

bool Reader::try_null(bool& is_null) {
    is_null = peek() == 'n';
    return !is_null || read_literal("null", 4);
}

bool Reader::type_error(const char* expected) {
    std::string found;
    const int c = peek();
    if (c == -1) return fail(kEofValue);
    if (c == 'n') {
        if (!read_literal("null", 4)) return false;
        found = "null";
    } else if (c == 't') {
        if (!read_literal("true", 4)) return false;
        found = "boolean `true`";
    } else if (c == 'f') {
        if (!read_literal("false", 5)) return false;
        found = "boolean `false`";
    } else if (c == '"') {
        ++p_;
        std::string s;
        if (!read_string_body(&s)) return false;
        found = "string \"" + shorten(s) + "\"";
    } else if (c == '{') {
        ++p_;
        found = "map";
    } else if (c == '[') {
        ++p_;
        found = "sequence";
    } else if (c == '-' || is_digit(c)) {
        NumberToken t;
        if (!scan_number(t)) return false;
        found = std::string(t.integer ? "integer `" : "floating point `") +
                shorten(std::string_view(t.begin, static_cast<std::size_t>(t.end - t.begin))) + "`";
    } else {
        ++p_;
        return fail("expected value");
    }
    return fail("invalid type: " + found + ", expected " + expected);
}

bool Reader::invalid_value(const NumberToken& t, const char* expected) {
    return fail("invalid value: integer `" +
                shorten(std::string_view(t.begin, static_cast<std::size_t>(t.end - t.begin))) + "`, expected " +
                expected);
}

bool Reader::integer_value(const NumberToken& t, std::uint64_t& magnitude, const char* expected) {
    if (!t.integer) {
        return fail("invalid type: floating point `" +
                    shorten(std::string_view(t.begin, static_cast<std::size_t>(t.end - t.begin))) + "`, expected " +
                    expected);
    }
    magnitude = 0;
    for (const char* q = t.begin + (t.negative ? 1 : 0); q < t.end; ++q) {
        const auto d = static_cast<std::uint64_t>(*q - '0');
        if (magnitude > (UINT64_MAX - d) / 10) return invalid_value(t, expected);
        magnitude = magnitude * 10 + d;
    }
    return true;
}

bool Reader::read_u64(std::uint64_t& out, const char* expected, std::uint64_t max) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return type_error(expected);
    NumberToken t;
    if (!scan_number(t) || !integer_value(t, out, expected)) return false;
    if ((t.negative && out != 0) || out > max) return invalid_value(t, expected);
    return true;
}

bool Reader::read_i64(std::int64_t& out, const char* expected) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return type_error(expected);
    NumberToken t;
    std::uint64_t m;
    if (!scan_number(t) || !integer_value(t, m, expected)) return false;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    if (t.negative) {
        if (m > limit) return invalid_value(t, expected);
        out = m == limit ? INT64_MIN : -static_cast<std::int64_t>(m);
    } else {
        if (m >= limit) return invalid_value(t, expected);
        out = static_cast<std::int64_t>(m);
    }
    return true;
}

bool Reader::read_f64(double& out) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return type_error("f64");
    NumberToken t;
    if (!scan_number(t)) return false;
    if (convert_float(t, out)) return true;
    return fail("number out of range");
}

bool Reader::read_f32(float& out) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return type_error("f32");
    NumberToken t;
    if (!scan_number(t)) return false;
    // Straight from the decimal text to float: going through double would
    // round twice.
    if (convert_float(t, out)) return true;
    return fail("number out of range");
}

}  // namespace morvanta::json
