// Number texts of the JSON writers: the shortest digits that read back to the
// same value, laid out in plain or scientific form by the decimal exponent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvanta::json {

// Room that one call of any writer below may use, sign included.
inline constexpr std::size_t kMaxNumberChars = 32;

// 64-bit float: scientific form for decimal exponents >= 16 or <= -6, otherwise
// plain with ".0" for integral values; "0.0"/"-0.0"; NaN and infinities as "null".
// `out` must have kMaxNumberChars bytes; returns the end of the text written.
char* write_double(char* out, double v) noexcept;

// 32-bit float: the same layout with the thresholds 13 and -7, digits chosen
// to round-trip through float (0.1f is "0.1").
char* write_float(char* out, float v) noexcept;

char* write_u64(char* out, std::uint64_t v) noexcept;
char* write_i64(char* out, std::int64_t v) noexcept;

std::string format_double(double v);
std::string format_float(float v);

}  // namespace morvanta::json
