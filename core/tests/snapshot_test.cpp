#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>
#include "snapshot.hpp"

namespace {

using morvanta::BaselineSnapshot;
using morvanta::MatrixF32;

BaselineSnapshot read_ok(const std::string& text) {
    auto r = BaselineSnapshot::from_json(text);
    if (auto* err = std::get_if<std::string>(&r)) ADD_FAILURE() << *err << " for " << text.substr(0, 200);
    return r.index() == 0 ? std::get<BaselineSnapshot>(std::move(r)) : BaselineSnapshot{};
}

std::string read_err(const std::string& text) {
    auto r = BaselineSnapshot::from_json(text);
    return r.index() == 1 ? std::get<std::string>(r) : "<no error>";
}

template <class T>
std::string bytes(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// Every field bit for bit, through the written text (which itself must repeat).
void expect_identity(const BaselineSnapshot& s) {
    const std::string text = s.to_json();
    const BaselineSnapshot b = read_ok(text);
    auto m = [](const auto& x, const auto& y) {
        ASSERT_EQ(x.has_value(), y.has_value());
        if (x) {
            EXPECT_TRUE(x->rows == y->rows && x->cols == y->cols && bytes(x->data) == bytes(y->data));
        }
    };
    auto l = [](const auto& x, const auto& y) {
        ASSERT_EQ(x.has_value(), y.has_value());
        if (x) {
            EXPECT_EQ(bytes(*x), bytes(*y));
        }
    };
    m(s.embeddings, b.embeddings);
    l(s.feature_means, b.feature_means);
    l(s.feature_stds, b.feature_stds);
    l(s.confidence_scores, b.confidence_scores);
    l(s.response_lengths, b.response_lengths);
    m(s.query_centroids, b.query_centroids);
    l(s.query_cluster_freqs, b.query_cluster_freqs);
    EXPECT_EQ(s.captured_at, b.captured_at);
    EXPECT_EQ(b.to_json(), text);
}

TEST(SnapshotJson, FreshAndFullTexts) {
    BaselineSnapshot s;
    s.captured_at = 1700000000;
    EXPECT_EQ(s.to_json(),
              "{\"embeddings\":null,\"feature_means\":null,\"feature_stds\":null,\"confidence_scores\":null,"
              "\"response_lengths\":null,\"query_centroids\":null,\"query_cluster_freqs\":null,\"captured_at\":1700000000}");
    expect_identity(s);
    s.embeddings = MatrixF32(2, 3, {0.1f, 2.5f, 1e12f, 1e13f, -0.0f, std::numeric_limits<float>::quiet_NaN()});
    s.feature_means = std::vector<double>{};
    s.feature_stds = std::vector<double>{1e16, std::numeric_limits<double>::infinity()};
    s.response_lengths = std::vector<std::uint64_t>{0, UINT64_MAX};
    s.query_centroids = MatrixF32(0, 3, {});
    s.query_cluster_freqs = std::vector<double>{1.0, 0.000025};
    s.captured_at = -1;
    const std::string text = s.to_json();
    EXPECT_EQ(text,
              "{\"embeddings\":{\"v\":1,\"dim\":[2,3],\"data\":[0.1,2.5,1000000000000.0,1e+13,-0.0,null]},"
              "\"feature_means\":[],\"feature_stds\":[1e+16,null],\"confidence_scores\":null,"
              "\"response_lengths\":[0,18446744073709551615],\"query_centroids\":{\"v\":1,\"dim\":[0,3],\"data\":[]},"
              "\"query_cluster_freqs\":[1.0,0.000025],\"captured_at\":-1}");
    // Non-finite values are written as null and cannot be read back.
    EXPECT_EQ(read_err(text), "invalid type: null, expected f32 at line 1 column 80");
}

TEST(SnapshotJson, WriteReadIdentityBitForBit) {
    std::mt19937_64 g(42);
    auto doubles = [&](std::size_t n) {
        std::vector<double> v = {0.0, -0.0, DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN, 1e-310, 1e16, 1e-6};
        while (v.size() < n + 10)
            if (double x = std::bit_cast<double>(g()); std::isfinite(x)) v.push_back(x);
        return v;
    };
    auto floats = [&](std::size_t r, std::size_t c) {
        std::vector<float> v = {0.0f, -0.0f, FLT_MAX, -FLT_MAX, FLT_MIN, FLT_TRUE_MIN, -FLT_TRUE_MIN, 1e-40f, 1e13f, 1e-7f};
        while (v.size() < r * c)
            if (float x = std::bit_cast<float>(static_cast<std::uint32_t>(g())); std::isfinite(x)) v.push_back(x);
        v.resize(r * c);
        return MatrixF32(r, c, v);
    };
    for (int round = 0; round < 12; ++round) {
        BaselineSnapshot s;
        s.embeddings = floats(round % 5, 3 + round % 7);
        s.feature_means = doubles(40);
        s.feature_stds = doubles(round);
        if (round % 2) s.confidence_scores = doubles(5);
        s.response_lengths = std::vector<std::uint64_t>{0, UINT64_MAX, g() >> (g() % 64)};
        if (round % 3) s.query_centroids = floats(3, 4);
        s.query_cluster_freqs = doubles(20);
        s.captured_at = round == 0 ? INT64_MIN : round == 1 ? INT64_MAX : static_cast<std::int64_t>(g());
        expect_identity(s);
    }
}

TEST(SnapshotJson, AcceptedForms) {
    const std::string fresh5 = read_ok("{\"captured_at\":5}").to_json();
    for (const char* text :
         {" {\"other\" : [{\"a\":[1,-2.5e-3,true,false,null,\"\\ud83d\\ude00\\n\"]},{},[]] ,\r\n\t\"captured\\u005fat\": 5,"
          "\"zzz\":{\"captured_at\":9}} \n",
          "[null,null,null,null,null,null,null,5]", "{\"captured_at\":5,\"embeddings\":null,\"feature_means\":null}"})
        EXPECT_EQ(read_ok(text).to_json(), fresh5) << text;
    const BaselineSnapshot a = read_ok(
        "[[1,[2,2],[1,2,3,4]],[],[2],[3],[4,5],{\"data\":[0.5,-1e-45],\"dim\":[1,2],\"v\":1},[-0],9]");
    EXPECT_EQ(a.to_json(),
              "{\"embeddings\":{\"v\":1,\"dim\":[2,2],\"data\":[1.0,2.0,3.0,4.0]},\"feature_means\":[],"
              "\"feature_stds\":[2.0],\"confidence_scores\":[3.0],\"response_lengths\":[4,5],"
              "\"query_centroids\":{\"v\":1,\"dim\":[1,2],\"data\":[0.5,-1e-45]},\"query_cluster_freqs\":[-0.0],"
              "\"captured_at\":9}");
    EXPECT_EQ(read_ok("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[0,3],\"data\":[]}}").embeddings->cols, 3u);
}

TEST(SnapshotJson, NumbersConvertToTheNearestValue) {
    const BaselineSnapshot d = read_ok(
        "{\"captured_at\":0,\"feature_means\":[1e-400,-1e-400,2.4703282292062328e-324,1.7976931348623158e308,"
        "123456789012345678901234567890,0.30000000000000001665,0.3000000000000000166534,1" +
        std::string(400, '0') + "e-400]}");
    EXPECT_EQ(bytes(*d.feature_means), bytes(std::vector<double>{0.0, -0.0, DBL_TRUE_MIN, DBL_MAX, 1.2345678901234568e29,
                                                                 0.3, 0.30000000000000004, 1.0}));
    // Straight to float: this decimal lies just above the midpoint between 1
    // and the next float; through double it would land on the midpoint and
    // round to even (1.0).
    const BaselineSnapshot f = read_ok(
        "{\"captured_at\":0,\"embeddings\":[1,[1,4],[1.0000000596046447753906250000001,3.4028235e38,1e-50,-7.1e-46]]}");
    EXPECT_EQ(bytes(f.embeddings->data), bytes(std::vector<float>{std::nextafter(1.0f, 2.0f), FLT_MAX, 0.0f, -FLT_TRUE_MIN}));
}

struct ErrorCase {
    std::string text, message;
};

class SnapshotJsonError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SnapshotJsonError, Message) { EXPECT_EQ(read_err(GetParam().text), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(Cases, SnapshotJsonError, ::testing::ValuesIn(std::vector<ErrorCase>{
    {std::string("", 0), "EOF while parsing a value at line 1 column 0"},
    {std::string("{}", 2), "missing field `captured_at` at line 1 column 2"},
    {std::string("{\"captured_at\":5,\"captured_at\":6}", 33), "duplicate field `captured_at` at line 1 column 30"},
    {std::string("{\"captured_at\":1.5}", 19), "invalid type: floating point `1.5`, expected i64 at line 1 column 18"},
    {std::string("{\"captured_at\":9223372036854775808}", 35), "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 34"},
    {std::string("[null,null,null,null,null,null,null]", 36), "invalid length 7, expected struct BaselineSnapshot with 8 elements at line 1 column 36"},
    {std::string("[null,null,null,null,null,null,null,5,[1,{}]]", 45), "invalid length 9, expected struct BaselineSnapshot with 8 elements at line 1 column 45"},
    {std::string("5", 1), "invalid type: integer `5`, expected struct BaselineSnapshot at line 1 column 1"},
    {std::string("\"x\"", 3), "invalid type: string \"x\", expected struct BaselineSnapshot at line 1 column 3"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[2,2],\"data\":[1,2,3]}}", 65), "data and dimension must match in size at line 1 column 64"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":2,\"dim\":[2,2],\"data\":[1,2,3,4]}}", 67), "unknown array version: 2 at line 1 column 36"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":256}}", 40), "invalid value: integer `256`, expected u8 at line 1 column 38"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1.0}}", 40), "invalid type: floating point `1.0`, expected u8 at line 1 column 38"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"w\":1}}", 38), "unknown field `w`, expected one of `v`, `dim`, `data` at line 1 column 34"},
    {std::string("{\"captured_at\":0,\"embeddings\":{}}", 33), "missing field `v` at line 1 column 32"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"dim\":[1,1],\"v\":1}}", 50), "missing field `data` at line 1 column 49"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"data\":[],\"v\":1}}", 48), "missing field `dim` at line 1 column 47"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"v\":1}}", 44), "duplicate field `v` at line 1 column 40"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[1,2,3],\"data\":[]}}", 62), "invalid length 3, expected an array of length 2 at line 1 column 50"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[-1,2],\"data\":[]}}", 61), "invalid value: integer `-1`, expected u64 at line 1 column 46"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[4294967296,4294967296],\"data\":[]}}", 78), "data and dimension must match in size at line 1 column 77"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[1,1],\"data\":[null]}}", 64), "invalid type: null, expected f32 at line 1 column 61"},
    {std::string("{\"captured_at\":0,\"embeddings\":{\"v\":1,\"dim\":[1,1],\"data\":[1e39]}}", 64), "number out of range at line 1 column 61"},
    {std::string("{\"captured_at\":0,\"embeddings\":[1,[1,1]]}", 40), "invalid length 2, expected a versioned matrix with 3 elements at line 1 column 39"},
    {std::string("{\"captured_at\":0,\"embeddings\":[1,[1,1],[0],0]}", 46), "invalid length 4, expected a versioned matrix with 3 elements at line 1 column 45"},
    {std::string("{\"captured_at\":0,\"embeddings\":5}", 32), "invalid type: integer `5`, expected a versioned matrix at line 1 column 31"},
    {std::string("{\"captured_at\":0,\"feature_means\":[1,null]}", 42), "invalid type: null, expected f64 at line 1 column 40"},
    {std::string("{\"captured_at\":0,\"feature_means\":{}}", 36), "invalid type: map, expected a sequence at line 1 column 34"},
    {std::string("{\"captured_at\":0,\"feature_stds\":[1e999999]}", 43), "number out of range at line 1 column 41"},
    {std::string("{\"captured_at\":0,\"response_lengths\":[1,-1]}", 43), "invalid value: integer `-1`, expected u64 at line 1 column 41"},
    {std::string("{\"captured_at\":0,\"response_lengths\":[18446744073709551616]}", 59), "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 57"},
    {std::string("{\"captured_at\":0,\"response_lengths\":[2.0]}", 42), "invalid type: floating point `2.0`, expected u64 at line 1 column 40"},
    {std::string("{\"captured_at\":0,\"query_cluster_freqs\":[1,]}", 44), "trailing comma at line 1 column 43"},
    {std::string("{\"captured_at\":0,\"query_cluster_freqs\":[1 2]}", 45), "expected `,` or `]` at line 1 column 43"},
    {std::string("{\"captured_at\":0 \"x\":1}", 23), "expected `,` or `}` at line 1 column 18"},
    {std::string("{\"captured_at\" 0}", 17), "expected `:` at line 1 column 16"},
    {std::string("{captured_at:0}", 15), "key must be a string at line 1 column 2"},
    {std::string("{\"captured_at\":0} x", 19), "trailing characters at line 1 column 19"},
    {std::string("{\"captured_at\":0", 16), "EOF while parsing an object at line 1 column 16"},
    {std::string("{\"captured_at\":", 15), "EOF while parsing a value at line 1 column 15"},
    {std::string("{\"captured_at", 13), "EOF while parsing a string at line 1 column 13"},
    {std::string("{\"captured_at\":0,\"feature_means\":[1", 35), "EOF while parsing a list at line 1 column 35"},
    {std::string("{\"captured_at\":01}", 18), "invalid number at line 1 column 17"},
    {std::string("{\"captured_at\":-x}", 18), "invalid number at line 1 column 17"},
    {std::string("{\"captured_at\":0,\"feature_means\":[1.]}", 38), "invalid number at line 1 column 37"},
    {std::string("{\"captured_at\":0,\"feature_means\":[+1]}", 38), "expected value at line 1 column 35"},
    {std::string("{\"captured_at\":0,\"feature_means\":[.5]}", 38), "expected value at line 1 column 35"},
    {std::string("{\"captured_at\":0,\"x\":nul}", 25), "invalid literal at line 1 column 25"},
    {std::string("{\"captured_at\":0,\"x\":\"\\q\"}", 26), "invalid escape at line 1 column 24"},
    {std::string("{\"captured_at\":0,\"x\":\"\\u12G4\"}", 30), "invalid escape at line 1 column 27"},
    {std::string("{\"captured_at\":0,\"x\":\"\\ud800\"}", 30), "lone leading surrogate in hex escape at line 1 column 29"},
    {std::string("{\"captured_at\":0,\"x\":\"\\udc00\"}", 30), "invalid unicode code point at line 1 column 28"},
    {std::string("{\"captured_at\":0,\"x\":\"a\x00""b\"}", 27), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 24"},
    {std::string("{\"captured_at\":0,\"x\":\x00""}", 23), "expected value at line 1 column 22"},
    {std::string("{\"captured_at\":0}\x00""", 18), "trailing characters at line 1 column 18"},
    {std::string("{\"captured_at\":0,\"x\":\"\xff""\"}", 25), "invalid UTF-8 in string at line 1 column 23"},
    {std::string("{\"captured_at\":0,\"x\":\"\xc0""\x80""\"}", 26), "invalid UTF-8 in string at line 1 column 23"},
    {std::string("{\"captured_at\":0,\"x\":\"\xed""\xa0""\x80""\"}", 27), "invalid UTF-8 in string at line 1 column 25"},
    {std::string("{\"captured_at\":0,\"x\":\"\xf4""\x90""\x80""\x80""\"}", 28), "invalid UTF-8 in string at line 1 column 26"},
    {std::string("{\"captured_at\":0,\"x\":{\"a\":1,}}", 30), "trailing comma at line 1 column 29"},
    {std::string("{\"captured_at\":0,\"x\":[1}}", 25), "expected `,` or `]` at line 1 column 24"},
    {std::string("{\"captured_at\":0,\"x\":{\"a\":1]}", 29), "expected `,` or `}` at line 1 column 28"},
    {"{\n  \"captured_at\": 5,\n  \"captured_at\": 6\n}", "duplicate field `captured_at` at line 3 column 15"},
    {"{\r\n\"x\":\n\n   ?", "expected value at line 4 column 4"},
}));

TEST(SnapshotJson, TruncationAtEveryByteFails) {
    BaselineSnapshot s;
    s.embeddings = MatrixF32(2, 2, {1.5f, -1e-7f, 3e20f, 0.0f});
    s.feature_means = std::vector<double>{-1e-300, 12.34};
    s.response_lengths = std::vector<std::uint64_t>{12, 0};
    s.query_centroids = MatrixF32(1, 1, {2.0f});
    s.captured_at = -1700000000;
    const std::string text = s.to_json();
    for (std::size_t n = 0; n < text.size(); ++n) {
        const std::string err = read_err(text.substr(0, n));
        EXPECT_TRUE(err.starts_with("EOF while parsing ") && err.ends_with(" at line 1 column " + std::to_string(n)))
            << n << ": " << err;
    }
}

TEST(SnapshotJson, DeepNestingInASkippedValue) {
    const std::size_t depth = 200000;
    const std::string open(depth, '[');
    std::string objects;
    for (std::size_t i = 0; i < depth; ++i) objects += "{\"k\":";
    EXPECT_EQ(read_ok("{\"x\":" + open + std::string(depth, ']') + ",\"captured_at\":1}").captured_at, 1);
    EXPECT_EQ(read_ok("{\"x\":" + objects + "0" + std::string(depth, '}') + ",\"captured_at\":2}").captured_at, 2);
    EXPECT_EQ(read_err("{\"x\":" + open), "EOF while parsing a list at line 1 column " + std::to_string(depth + 5));
    EXPECT_EQ(read_err("{\"x\":" + open + "1}"), "expected `,` or `]` at line 1 column " + std::to_string(depth + 7));
}

}  // namespace
