#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include "json/number.hpp"
#include "json/writer.hpp"

namespace {

using morvanta::json::format_double;
using morvanta::json::format_float;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct DoubleCase {
    double value;
    const char* text;
};

class JsonNumberDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(JsonNumberDouble, Layout) { EXPECT_EQ(format_double(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Forms, JsonNumberDouble,
    ::testing::Values(DoubleCase{1e16, "1e+16"}, DoubleCase{1.5e-7, "1.5e-7"}, DoubleCase{2.5e300, "2.5e+300"},
                      DoubleCase{1.0, "1.0"}, DoubleCase{100.0, "100.0"}, DoubleCase{1e15, "1000000000000000.0"},
                      DoubleCase{0.1, "0.1"}, DoubleCase{0.000025, "0.000025"}, DoubleCase{12.34, "12.34"},
                      DoubleCase{1e-7, "1e-7"}, DoubleCase{1e21, "1e+21"}, DoubleCase{3.0, "3.0"},
                      DoubleCase{0.25, "0.25"}, DoubleCase{-12.34, "-12.34"}, DoubleCase{0.0, "0.0"},
                      DoubleCase{-0.0, "-0.0"}, DoubleCase{1e-5, "0.00001"}, DoubleCase{1e-6, "1e-6"},
                      DoubleCase{1.25e-6, "1.25e-6"}, DoubleCase{9.5e15, "9500000000000000.0"},
                      DoubleCase{1234567890123456.0, "1234567890123456.0"},
                      DoubleCase{12345678901234567.0, "1.2345678901234568e+16"},
                      DoubleCase{123456.789, "123456.789"}, DoubleCase{1.0 / 3.0, "0.3333333333333333"},
                      DoubleCase{DBL_MAX, "1.7976931348623157e+308"}, DoubleCase{-DBL_MAX, "-1.7976931348623157e+308"},
                      DoubleCase{DBL_MIN, "2.2250738585072014e-308"}, DoubleCase{5e-324, "5e-324"},
                      DoubleCase{-5e-324, "-5e-324"}, DoubleCase{kNaN, "null"}, DoubleCase{-kNaN, "null"},
                      DoubleCase{kInf, "null"}, DoubleCase{-kInf, "null"}));

struct FloatCase {
    float value;
    const char* text;
};

class JsonNumberFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(JsonNumberFloat, Layout) { EXPECT_EQ(format_float(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Forms, JsonNumberFloat,
    ::testing::Values(FloatCase{0.1f, "0.1"}, FloatCase{2.5f, "2.5"}, FloatCase{1e12f, "1000000000000.0"},
                      FloatCase{1e13f, "1e+13"}, FloatCase{1e-6f, "0.000001"}, FloatCase{1e-7f, "1e-7"},
                      FloatCase{0.0f, "0.0"}, FloatCase{-0.0f, "-0.0"}, FloatCase{0.3f, "0.3"},
                      FloatCase{16777216.0f, "16777216.0"}, FloatCase{-1.5e-7f, "-1.5e-7"},
                      FloatCase{1.25e12f, "1250000000000.0"}, FloatCase{3.5e13f, "3.5e+13"},
                      FloatCase{FLT_MAX, "3.4028235e+38"}, FloatCase{FLT_MIN, "1.1754944e-38"},
                      FloatCase{std::numeric_limits<float>::denorm_min(), "1e-45"},
                      FloatCase{std::numeric_limits<float>::quiet_NaN(), "null"},
                      FloatCase{std::numeric_limits<float>::infinity(), "null"},
                      FloatCase{-std::numeric_limits<float>::infinity(), "null"}));

// The layout must follow the decimal exponent of the shortest digits: scientific
// exactly outside [lo, hi), otherwise plain with a point.
void check_layout(const std::string& s, int exponent, int lo, int hi) {
    static const std::regex grammar(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
    ASSERT_TRUE(std::regex_match(s, grammar)) << s;
    const bool sci = s.find('e') != std::string::npos;
    EXPECT_EQ(sci, exponent >= hi || exponent <= lo) << s;
    if (!sci) {
        EXPECT_NE(s.find('.'), std::string::npos) << s;
    }
}

TEST(JsonNumberRoundTrip, RandomDoublesReadBackByStrtod) {
    std::mt19937_64 gen(20240611);
    for (int i = 0; i < 200000; ++i) {
        double v = std::bit_cast<double>(gen());
        if (!std::isfinite(v)) continue;
        const std::string s = format_double(v);
        const double back = std::strtod(s.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << s;
        if (v != 0 && std::fabs(v) > 1e-300 && std::fabs(v) < 1e300) {
            // log10 is exact enough away from powers of ten.
            const double l = std::log10(std::fabs(v));
            if (std::fabs(l - std::round(l)) > 1e-9) check_layout(s, static_cast<int>(std::floor(l)), -6, 16);
        }
    }
}

TEST(JsonNumberRoundTrip, RandomFloatsReadBackByStrtof) {
    std::mt19937 gen(7);
    for (int i = 0; i < 200000; ++i) {
        float v = std::bit_cast<float>(static_cast<std::uint32_t>(gen()));
        if (!std::isfinite(v)) continue;
        const std::string s = format_float(v);
        const float back = std::strtof(s.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(v)) << s;
        const double l = std::log10(std::fabs(static_cast<double>(v)));
        if (v != 0 && std::fabs(l - std::round(l)) > 1e-6) check_layout(s, static_cast<int>(std::floor(l)), -7, 13);
    }
}

TEST(JsonNumberRoundTrip, PowersOfTenAtTheThresholds) {
    // The switch between the forms sits exactly at 1e16 / 1e-6 (double) and
    // 1e13 / 1e-7 (float).
    EXPECT_EQ(format_double(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(format_double(0.000099), "0.000099");
    EXPECT_EQ(format_double(0.0000099), "9.9e-6");
    EXPECT_EQ(format_float(9999999e6f), "9999999000000.0");
    EXPECT_EQ(format_float(0.0000099f), "0.0000099");
    EXPECT_EQ(format_float(0.0000009f), "9e-7");
}

TEST(JsonTextBuffer, Integers) {
    morvanta::json::TextBuffer b;
    b.put_i64(std::numeric_limits<std::int64_t>::min());
    b.put(',');
    b.put_i64(0);
    b.put(',');
    b.put_u64(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(std::move(b).take(), "-9223372036854775808,0,18446744073709551615");
}

struct EscapeCase {
    std::string in;
    std::string out;
};

class JsonStringEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonStringEscape, Escapes) {
    morvanta::json::TextBuffer b;
    b.put_string(GetParam().in);
    EXPECT_EQ(std::move(b).take(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonStringEscape,
    ::testing::Values(EscapeCase{"", "\"\""}, EscapeCase{"ks(length)+sw(emb)", "\"ks(length)+sw(emb)\""},
                      EscapeCase{"a\"b\\c", "\"a\\\"b\\\\c\""},
                      EscapeCase{"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
                      EscapeCase{std::string("x\0y", 3), "\"x\\u0000y\""},
                      EscapeCase{"\x01\x0b\x1f", "\"\\u0001\\u000b\\u001f\""},
                      EscapeCase{"\x7f/", "\"\x7f/\""},
                      EscapeCase{"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""}));

}  // namespace
