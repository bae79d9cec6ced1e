#include <cfloat>

#include "snapshot.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

using namespace testkit;
using namespace std::string_literals;

BaselineSnapshot read_ok(const std::string& text) {
    auto r = BaselineSnapshot::from_json(text);
    if (auto* err = std::get_if<std::string>(&r)) ADD_FAILURE() << *err << " for " << text.substr(0, 200);
    return r.index() == 0 ? std::get<BaselineSnapshot>(std::move(r)) : BaselineSnapshot{};
}

std::string read_err(const std::string& text) {
    auto r = BaselineSnapshot::from_json(text);
    return r.index() == 1 ? std::get<std::string>(r) : "<no error>";
}

TEST(SnapshotJson, FullTextAndNullsThatCannotBeRead) {
    BaselineSnapshot s;
    s.embeddings = MatrixF32(2, 3, {0.1f, 2.5f, 1e12f, 1e13f, -0.0f, NAN});
    s.feature_means = std::vector<double>{};
    s.feature_stds = std::vector<double>{1e16, INFINITY};
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
    EXPECT_EQ(read_err(text), "invalid type: null, expected f32 at line 1 column 80");
}

TEST(SnapshotJson, AcceptedForms) {
    const std::string fresh5 = read_ok("{\"captured_at\":5}").to_json();
    for (const char* text :
         {" {\"other\" : [{\"a\":[1,-2.5e-3,true,false,null,\"\\ud83d\\ude00\\n\"]},{},[]] "
          ",\r\n\t\"captured\\u005fat\": 5,"
          "\"zzz\":{\"captured_at\":9}} \n",
          "[null,null,null,null,null,null,null,5]", "{\"captured_at\":5,\"embeddings\":null,\"feature_means\":null}"})
        EXPECT_EQ(read_ok(text).to_json(), fresh5) << text;
}

TEST(SnapshotJson, NumbersConvertToTheNearestValue) {
    const BaselineSnapshot d = read_ok(
        "{\"captured_at\":0,\"feature_means\":[1e-400,-1e-400,2.4703282292062328e-324,1.7976931348623158e308,"
        "123456789012345678901234567890,0.30000000000000001665,0.3000000000000000166534,1" +
        std::string(400, '0') + "e-400]}");
    EXPECT_EQ(bytes(*d.feature_means),
              bytes(std::vector<double>{0.0, -0.0, DBL_TRUE_MIN, DBL_MAX, 1.2345678901234568e29, 0.3,
                                        0.30000000000000004, 1.0}));
    // Straight to float: this decimal lies just above the midpoint between 1
    // and the next float; through double it would land on the midpoint and
    // round to even (1.0).
    const BaselineSnapshot f = read_ok(
        "{\"captured_at\":0,\"embeddings\":[1,[1,4],[1.0000000596046447753906250000001,3.4028235e38,1e-50,-7.1e-46]]}");
    EXPECT_EQ(bytes(f.embeddings->data),
              bytes(std::vector<float>{std::nextafter(1.0f, 2.0f), FLT_MAX, 0.0f, -FLT_TRUE_MIN}));
}

struct ErrorCase {
    std::string text, message;
    friend std::ostream& operator<<(std::ostream& os, const ErrorCase& c) {
        return os << ::testing::PrintToString(c.text);
    }
};

class SnapshotJsonError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SnapshotJsonError, Message) { EXPECT_EQ(read_err(GetParam().text), GetParam().message); }

const std::string C = "{\"captured_at\":0,";
INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotJsonError,
    ::testing::ValuesIn(std::vector<ErrorCase>{
        {"{\"captured_at\":9223372036854775808}",
         "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 34"},
        {"[null,null,null,null,null,null,null,5,[1,{}]]",
         "invalid length 9, expected struct BaselineSnapshot with 8 elements at line 1 column 45"},
        {"5", "invalid type: integer `5`, expected struct BaselineSnapshot at line 1 column 1"},
        {C + "\"embeddings\":{\"v\":256}}", "invalid value: integer `256`, expected u8 at line 1 column 38"},
        {C + "\"embeddings\":{\"v\":1.0}}", "invalid type: floating point `1.0`, expected u8 at line 1 column 38"},
        {C + "\"embeddings\":{}}", "missing field `v` at line 1 column 32"},
        {C + "\"embeddings\":{\"data\":[],\"v\":1}}", "missing field `dim` at line 1 column 47"},
        {C + "\"embeddings\":{\"v\":1,\"v\":1}}", "duplicate field `v` at line 1 column 40"},
        {C + "\"embeddings\":{\"v\":1,\"dim\":[1,2,3],\"data\":[]}}",
         "invalid length 3, expected an array of length 2 at line 1 column 50"},
        {C + "\"embeddings\":{\"v\":1,\"dim\":[-1,2],\"data\":[]}}",
         "invalid value: integer `-1`, expected u64 at line 1 column 46"},
        {C + "\"embeddings\":{\"v\":1,\"dim\":[1,1],\"data\":[null]}}",
         "invalid type: null, expected f32 at line 1 column 61"},
        {C + "\"embeddings\":{\"v\":1,\"dim\":[1,1],\"data\":[1e39]}}", "number out of range at line 1 column 61"},
        {C + "\"embeddings\":[1,[1,1]]}",
         "invalid length 2, expected a versioned matrix with 3 elements at line 1 column 39"},
        {C + "\"embeddings\":[1,[1,1],[0],0]}",
         "invalid length 4, expected a versioned matrix with 3 elements at line 1 column 45"},
        {C + "\"embeddings\":5}", "invalid type: integer `5`, expected a versioned matrix at line 1 column 31"},
        {C + "\"feature_means\":{}}", "invalid type: map, expected a sequence at line 1 column 34"},
        {C + "\"feature_stds\":[1e999999]}", "number out of range at line 1 column 41"},
        {C + "\"response_lengths\":[1,-1]}", "invalid value: integer `-1`, expected u64 at line 1 column 41"},
        {C + "\"response_lengths\":[18446744073709551616]}",
         "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 57"},
        {C + "\"response_lengths\":[2.0]}", "invalid type: floating point `2.0`, expected u64 at line 1 column 40"},
        {C + "\"query_cluster_freqs\":[1,]}", "trailing comma at line 1 column 43"},
        {C + "\"query_cluster_freqs\":[1 2]}", "expected `,` or `]` at line 1 column 43"},
        {"{\"captured_at\":0 \"x\":1}", "expected `,` or `}` at line 1 column 18"},
        {"{\"captured_at\" 0}", "expected `:` at line 1 column 16"},
        {"{captured_at:0}", "key must be a string at line 1 column 2"},
        {"{\"captured_at\":0", "EOF while parsing an object at line 1 column 16"},
        {"{\"captured_at\":", "EOF while parsing a value at line 1 column 15"},
        {"{\"captured_at", "EOF while parsing a string at line 1 column 13"},
        {C + "\"feature_means\":[1", "EOF while parsing a list at line 1 column 35"},
        {"{\"captured_at\":01}", "invalid number at line 1 column 17"},
        {"{\"captured_at\":-x}", "invalid number at line 1 column 17"},
        {C + "\"feature_means\":[1.]}", "invalid number at line 1 column 37"},
        {C + "\"feature_means\":[+1]}", "expected value at line 1 column 35"},
        {C + "\"feature_means\":[.5]}", "expected value at line 1 column 35"},
        {C + "\"x\":nul}", "invalid literal at line 1 column 25"},
        {C + "\"x\":\"\\q\"}", "invalid escape at line 1 column 24"},
        {C + "\"x\":\"\\u12G4\"}", "invalid escape at line 1 column 27"},
        {C + "\"x\":\"\\ud800\"}", "lone leading surrogate in hex escape at line 1 column 29"},
        {C + "\"x\":\"\\udc00\"}", "invalid unicode code point at line 1 column 28"},
        {C + "\"x\":\"a\0b\"}"s,
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 24"},
        {C + "\"x\":\0}"s, "expected value at line 1 column 22"},
        {"{\"captured_at\":0}\0"s, "trailing characters at line 1 column 18"},
        {C + "\"x\":\"\xff\"}", "invalid UTF-8 in string at line 1 column 23"},
        {C + "\"x\":\"\xc0\x80\"}", "invalid UTF-8 in string at line 1 column 23"},
        {C + "\"x\":\"\xed\xa0\x80\"}", "invalid UTF-8 in string at line 1 column 25"},
        {C + "\"x\":\"\xf4\x90\x80\x80\"}", "invalid UTF-8 in string at line 1 column 26"},
        {C + "\"x\":{\"a\":1,}}", "trailing comma at line 1 column 29"},
        {C + "\"x\":[1}}", "expected `,` or `]` at line 1 column 24"},
        {C + "\"x\":{\"a\":1]}", "expected `,` or `}` at line 1 column 28"},
        {"{\n  \"captured_at\": 5,\n  \"captured_at\": 6\n}", "duplicate field `captured_at` at line 3 column 15"},
        {"{\r\n\"x\":\n\n   ?", "expected value at line 4 column 4"},
    }),
    [](const auto& info) {  // the message's first words and the row: "invalid_number_30"
        std::string name;
        for (char c : info.param.message.substr(0, info.param.message.find(" at line"))) {
            if (std::isalnum(static_cast<unsigned char>(c))) name += c;
            else if (name.size() >= 24) break;
            else if (!name.empty() && name.back() != '_') name += '_';
        }
        return (name.back() == '_' ? name : name + "_") + std::to_string(info.index);
    });

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
    EXPECT_EQ(read_err("{\"x\":" + open + "1}"), "expected `,` or `]` at line 1 column " + std::to_string(depth + 7));
}

}  // namespace
}  // namespace morvanta
