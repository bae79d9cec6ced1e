#include "format.hpp"

#include <charconv>
#include <cmath>

namespace morvanta {

std::string format_fixed6(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    return std::string(buf, r.ptr);
}

}  // namespace morvanta
