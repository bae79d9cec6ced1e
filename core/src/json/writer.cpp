#include "json/writer.hpp"

namespace morvanta::json {

template <class T, char* (*Write)(char*, T) noexcept>
void TextBuffer::put_list(const T* v, std::size_t n) {
    if (n == 0) return;
    // Grow once to the size the first elements predict instead of doubling
    // (and copying) a large text several times.
    const std::size_t sample = n < 64 ? n : 64;
    std::size_t bytes = 0;
    char t[kMaxNumberChars + 1];
    for (std::size_t i = 0; i < sample; ++i) bytes += static_cast<std::size_t>(Write(t, v[i]) - t) + 1;
    const std::size_t expect = bytes / sample * n + n / 16 + 64;
    if (buf_.capacity() - buf_.size() < expect) buf_.reserve(buf_.size() + expect);
    buf_.append(t, Write(t, v[0]));
    t[0] = ',';
    for (std::size_t i = 1; i < n; ++i) buf_.append(t, Write(t + 1, v[i]));
}

void TextBuffer::put_doubles(const double* v, std::size_t n) { put_list<double, write_double>(v, n); }
void TextBuffer::put_floats(const float* v, std::size_t n) { put_list<float, write_float>(v, n); }
void TextBuffer::put_u64s(const std::uint64_t* v, std::size_t n) { put_list<std::uint64_t, write_u64>(v, n); }

void TextBuffer::put_string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    put('"');
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;  // start of bytes that need no escape
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        buf_.append(run, p);
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
                buf_.append(u, 6);
            }
        }
    }
    buf_.append(run, end);
    put('"');
}

}  // namespace morvanta::json
