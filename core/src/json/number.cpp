#include "json/number.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace morvanta::json {

namespace {

// Lays out the digits of a shortest scientific text such as "-1.2345e+16".
// Hi/Lo are the first decimal exponents (upwards/downwards) that switch to
// the scientific form.
template <int Hi, int Lo>
char* layout(char* out, const char* sci, const char* sci_end) noexcept {
    const char* p = sci;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    // Digits: the leading one, then those after the point (if any).
    const char lead = *p++;
    const char* frac = p;
    const char* frac_end = p;
    if (*p == '.') {
        frac = ++p;
        while (*p != 'e') ++p;
        frac_end = p;
    }
    ++p;  // 'e'
    const bool eneg = *p == '-';
    ++p;
    int e = 0;
    while (p < sci_end) e = e * 10 + (*p++ - '0');
    if (eneg) e = -e;
    const int nfrac = static_cast<int>(frac_end - frac);
    const int n = 1 + nfrac;

    if (e >= Hi || e <= Lo) {
        *out++ = lead;
        if (nfrac > 0) {
            *out++ = '.';
            std::memcpy(out, frac, static_cast<std::size_t>(nfrac));
            out += nfrac;
        }
        *out++ = 'e';
        *out++ = eneg ? '-' : '+';
        const int a = eneg ? -e : e;
        return std::to_chars(out, out + 8, a).ptr;
    }
    if (e >= n - 1) {
        // Integral: all digits, the missing zeros, ".0".
        *out++ = lead;
        std::memcpy(out, frac, static_cast<std::size_t>(nfrac));
        out += nfrac;
        for (int i = 0; i < e - n + 1; ++i) *out++ = '0';
        *out++ = '.';
        *out++ = '0';
        return out;
    }
    if (e < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -e - 1; ++i) *out++ = '0';
        *out++ = lead;
        std::memcpy(out, frac, static_cast<std::size_t>(nfrac));
        return out + nfrac;
    }
    // 0 <= e < n - 1: the point falls inside the digits.
    *out++ = lead;
    std::memcpy(out, frac, static_cast<std::size_t>(e));
    out += e;
    *out++ = '.';
    std::memcpy(out, frac + e, static_cast<std::size_t>(nfrac - e));
    return out + (nfrac - e);
}

char* write_null(char* out) noexcept {
    std::memcpy(out, "null", 4);
    return out + 4;
}

char* write_zero(char* out, bool negative) noexcept {
    if (negative) *out++ = '-';
    std::memcpy(out, "0.0", 3);
    return out + 3;
}

}  // namespace

char* write_double(char* out, double v) noexcept {
    if (!std::isfinite(v)) return write_null(out);
    if (v == 0.0) return write_zero(out, std::signbit(v));
    char sci[kMaxNumberChars];
    // Scientific without a precision gives the shortest round-trip digits.
    auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    return layout<16, -6>(out, sci, r.ptr);
}

char* write_float(char* out, float v) noexcept {
    if (!std::isfinite(v)) return write_null(out);
    if (v == 0.0f) return write_zero(out, std::signbit(v));
    char sci[kMaxNumberChars];
    auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    return layout<13, -7>(out, sci, r.ptr);
}

char* write_u64(char* out, std::uint64_t v) noexcept { return std::to_chars(out, out + kMaxNumberChars, v).ptr; }

char* write_i64(char* out, std::int64_t v) noexcept { return std::to_chars(out, out + kMaxNumberChars, v).ptr; }

std::string format_double(double v) {
    char buf[kMaxNumberChars];
    return std::string(buf, write_double(buf, v));
}

std::string format_float(float v) {
    char buf[kMaxNumberChars];
    return std::string(buf, write_float(buf, v));
}

}  // namespace morvanta::json
