#include "json/writer.hpp"

#include <algorithm>

namespace morvanta::json {

void TextBuffer::grow(std::size_t n) {
    buf_.resize(std::max(buf_.size() * 2, len_ + n));
}

void TextBuffer::put_doubles(const double* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        char* w = room(kMaxNumberChars + 1);
        if (i != 0) *w++ = ',';
        len_ = static_cast<std::size_t>(write_double(w, v[i]) - buf_.data());
    }
}

void TextBuffer::put_floats(const float* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        char* w = room(kMaxNumberChars + 1);
        if (i != 0) *w++ = ',';
        len_ = static_cast<std::size_t>(write_float(w, v[i]) - buf_.data());
    }
}

void TextBuffer::put_u64s(const std::uint64_t* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        char* w = room(kMaxNumberChars + 1);
        if (i != 0) *w++ = ',';
        len_ = static_cast<std::size_t>(write_u64(w, v[i]) - buf_.data());
    }
}

void TextBuffer::put_string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    put('"');
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;  // start of bytes that need no escape
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        put(std::string_view(run, static_cast<std::size_t>(p - run)));
        run = p + 1;
        switch (c) {
            case '"': put("\\\""); break;
            case '\\': put("\\\\"); break;
            case '\b': put("\\b"); break;
            case '\t': put("\\t"); break;
            case '\n': put("\\n"); break;
            case '\f': put("\\f"); break;
            case '\r': put("\\r"); break;
            default: {
                const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                put(std::string_view(u, 6));
            }
        }
    }
    put(std::string_view(run, static_cast<std::size_t>(end - run)));
    put('"');
}

}  // namespace morvanta::json
