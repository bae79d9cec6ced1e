#include <cfloat>
#include <regex>

#include "json/number.hpp"
#include "json/writer.hpp"
#include "test_support.hpp"

namespace {

using morvanta::json::format_double;
using morvanta::json::format_float;

TEST(JsonNumber, DoubleForms) {
    const std::pair<double, const char*> cases[] = {{1e16, "1e+16"},
                                                    {1.5e-7, "1.5e-7"},
                                                    {2.5e300, "2.5e+300"},
                                                    {1.0, "1.0"},
                                                    {100.0, "100.0"},
                                                    {1e15, "1000000000000000.0"},
                                                    {0.1, "0.1"},
                                                    {0.000025, "0.000025"},
                                                    {12.34, "12.34"},
                                                    {1e-7, "1e-7"},
                                                    {1e21, "1e+21"},
                                                    {0.0, "0.0"},
                                                    {-0.0, "-0.0"},
                                                    {-12.34, "-12.34"},
                                                    {1e-5, "0.00001"},
                                                    {1e-6, "1e-6"},
                                                    {0.0000099, "9.9e-6"},
                                                    {9999999999999998.0, "9999999999999998.0"},
                                                    {12345678901234567.0, "1.2345678901234568e+16"},
                                                    {1.0 / 3, "0.3333333333333333"},
                                                    {DBL_MAX, "1.7976931348623157e+308"},
                                                    {-DBL_TRUE_MIN, "-5e-324"},
                                                    {NAN, "null"},
                                                    {INFINITY, "null"},
                                                    {-INFINITY, "null"}};
    for (auto [v, text] : cases) EXPECT_EQ(format_double(v), text) << v;
}

TEST(JsonNumber, FloatForms) {
    const std::pair<float, const char*> cases[] = {{0.1f, "0.1"},
                                                   {2.5f, "2.5"},
                                                   {1e12f, "1000000000000.0"},
                                                   {1e13f, "1e+13"},
                                                   {1e-6f, "0.000001"},
                                                   {1e-7f, "1e-7"},
                                                   {0.0f, "0.0"},
                                                   {-0.0f, "-0.0"},
                                                   {9999999e6f, "9999999000000.0"},
                                                   {0.0000099f, "0.0000099"},
                                                   {-1.5e-7f, "-1.5e-7"},
                                                   {16777216.0f, "16777216.0"},
                                                   {FLT_MAX, "3.4028235e+38"},
                                                   {FLT_TRUE_MIN, "1e-45"},
                                                   {NAN, "null"},
                                                   {INFINITY, "null"},
                                                   {-INFINITY, "null"}};
    for (auto [v, text] : cases) EXPECT_EQ(format_float(v), text) << v;
}

// Random bit patterns read back exactly through the C library's own parser, and
// the form follows the decimal exponent: scientific exactly outside (lo, hi).
template <class T>
void round_trip(int lo, int hi) {
    static const std::regex grammar(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?(e[+-][1-9][0-9]*)?)");
    std::mt19937_64 gen(sizeof(T));
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    for (int i = 0; i < 100000; ++i) {
        const T v = std::bit_cast<T>(static_cast<Bits>(gen()));
        if (!std::isfinite(v)) continue;
        const std::string s = sizeof(T) == 8 ? format_double(v) : format_float(static_cast<float>(v));
        const T back =
            sizeof(T) == 8 ? static_cast<T>(std::strtod(s.c_str(), nullptr)) : std::strtof(s.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<Bits>(back), std::bit_cast<Bits>(v)) << s;
        ASSERT_TRUE(std::regex_match(s, grammar)) << s;
        const double l = std::log10(std::fabs(static_cast<double>(v)));
        if (v == 0 || std::fabs(l - std::round(l)) < 1e-6) continue;  // digits may round to the next power
        const int e = static_cast<int>(std::floor(l));
        EXPECT_EQ(s.find('e') != std::string::npos, e >= hi || e <= lo) << s;
    }
}

TEST(JsonNumber, DoublesRoundTripThroughStrtod) { round_trip<double>(-6, 16); }
TEST(JsonNumber, FloatsRoundTripThroughStrtof) { round_trip<float>(-7, 13); }

TEST(JsonNumber, StringEscapes) {
    for (const auto& [in, out] : {std::pair<std::string, std::string>{"", "\"\""},
                                  {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
                                  {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
                                  {std::string("x\0\x01\x0b\x1f", 5), "\"x\\u0000\\u0001\\u000b\\u001f\""},
                                  {"\x7f caf\xc3\xa9 \xf0\x9f\x98\x80", "\"\x7f caf\xc3\xa9 \xf0\x9f\x98\x80\""}}) {
        morvanta::json::TextBuffer b;
        b.put_string(in);
        EXPECT_EQ(std::move(b).take(), out);
    }
}

}  // namespace
