#pragma once
#include <string>

namespace morvanta {

// Fixed-point text with exactly six decimals, correctly rounded (ties to even),
// sign kept for negative values that round to zero; "NaN", "inf", "-inf".
std::string format_fixed6(double v);

}  // namespace morvanta
