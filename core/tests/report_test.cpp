#include "report.hpp"
#include "test_support.hpp"

namespace morvanta {
namespace {

TEST(DriftReportJson, EmptyExampleEveryDimensionNumberFormAndEscape) {
    DriftReport r;
    r.timestamp = 1700000000;
    EXPECT_EQ(r.to_json(),
              "{\"scores\":[],\"timestamp\":1700000000,\"sample_size_baseline\":0,\"sample_size_current\":0}");
    r.scores.push_back(DriftScore{Dimension::Response, 0.25, 0.2, true, "ks(length)"});
    r.sample_size_baseline = 500;
    r.sample_size_current = 480;
    EXPECT_EQ(r.to_json(),
              "{\"scores\":[{\"dimension\":\"Response\",\"score\":0.25,\"threshold\":0.2,\"exceeded\":true,"
              "\"method\":\"ks(length)\"}],\"timestamp\":1700000000,\"sample_size_baseline\":500,"
              "\"sample_size_current\":480}");
    r.scores = {{Dimension::Data, NAN, 0.1, false, "ks+psi"},
                {Dimension::Embedding, 1e-7, INFINITY, false, "mmd+sw"},
                {Dimension::Response, 1e21, -INFINITY, true, "r"},
                {Dimension::Confidence, 3.0, -0.0, true, "a\"b\\\n\x01"},
                {Dimension::Query, -0.5, 1e16, false, "kmeans+sym_kl"}};
    r.timestamp = -5;
    r.sample_size_baseline = std::numeric_limits<std::uint64_t>::max();
    r.sample_size_current = 0;
    EXPECT_EQ(
        r.to_json(),
        "{\"scores\":[{\"dimension\":\"Data\",\"score\":null,\"threshold\":0.1,\"exceeded\":false,\"method\":\"ks+"
        "psi\"},"
        "{\"dimension\":\"Embedding\",\"score\":1e-7,\"threshold\":null,\"exceeded\":false,\"method\":\"mmd+sw\"},"
        "{\"dimension\":\"Response\",\"score\":1e+21,\"threshold\":null,\"exceeded\":true,\"method\":\"r\"},"
        "{\"dimension\":\"Confidence\",\"score\":3.0,\"threshold\":-0.0,\"exceeded\":true,"
        "\"method\":\"a\\\"b\\\\\\n\\u0001\"},"
        "{\"dimension\":\"Query\",\"score\":-0.5,\"threshold\":1e+16,\"exceeded\":false,\"method\":\"kmeans+sym_kl\"}],"
        "\"timestamp\":-5,\"sample_size_baseline\":18446744073709551615,\"sample_size_current\":0}");
}

TEST(DriftReport, MaxScoreAndAnyExceeded) {
    const std::pair<std::vector<double>, double> cases[] = {
        {{}, 0.0},     {{-0.3, NAN}, 0.0},          {{0.1, NAN, 0.7}, 0.7},
        {{-0.0}, 0.0}, {{0.2, INFINITY}, INFINITY}, {{-INFINITY, 0.4}, 0.4}};
    for (const auto& [scores, expected] : cases) {
        DriftReport r;
        for (double s : scores) r.scores.push_back(make_score(Dimension::Data, s, 0.4, "ks"));
        EXPECT_EQ(r.max_score(), expected);
        EXPECT_FALSE(std::signbit(r.max_score()));     // -0.0 never replaces the initial 0.0
        EXPECT_EQ(r.any_exceeded(), expected >= 0.4);  // equality counts, NaN never does
    }
}

}  // namespace
}  // namespace morvanta
