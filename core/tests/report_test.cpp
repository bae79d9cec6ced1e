#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>
#include "report.hpp"

namespace {

using morvanta::Dimension;
using morvanta::DriftReport;
using morvanta::DriftScore;
using morvanta::make_score;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

DriftReport report_of(std::vector<double> scores) {
    DriftReport r;
    for (double s : scores) r.scores.push_back(make_score(Dimension::Data, s, 0.5, "ks"));
    return r;
}

TEST(DriftReportJson, EmptyReport) {
    DriftReport r;
    r.timestamp = 1700000000;
    EXPECT_EQ(r.to_json(), "{\"scores\":[],\"timestamp\":1700000000,\"sample_size_baseline\":0,\"sample_size_current\":0}");
}

TEST(DriftReportJson, OneScoreExample) {
    DriftReport r;
    r.scores.push_back(DriftScore{Dimension::Response, 0.25, 0.2, true, "ks(length)"});
    r.timestamp = 1700000000;
    r.sample_size_baseline = 500;
    r.sample_size_current = 480;
    EXPECT_EQ(r.to_json(),
              "{\"scores\":[{\"dimension\":\"Response\",\"score\":0.25,\"threshold\":0.2,\"exceeded\":true,"
              "\"method\":\"ks(length)\"}],\"timestamp\":1700000000,\"sample_size_baseline\":500,"
              "\"sample_size_current\":480}");
}

TEST(DriftReportJson, EveryDimensionNumberFormAndEscape) {
    DriftReport r;
    r.scores = {
        DriftScore{Dimension::Data, kNaN, 0.1, false, "ks+psi"},
        DriftScore{Dimension::Embedding, 1e-7, kInf, false, "mmd+sw"},
        DriftScore{Dimension::Response, 1e21, -kInf, true, "ks(length)+sw(emb)"},
        DriftScore{Dimension::Confidence, 3.0, -0.0, true, "a\"b\\\n\x01"},
        DriftScore{Dimension::Query, -0.5, 1e16, false, "kmeans+sym_kl"},
    };
    r.timestamp = -5;
    r.sample_size_baseline = std::numeric_limits<std::uint64_t>::max();
    r.sample_size_current = 7;
    EXPECT_EQ(r.to_json(),
              "{\"scores\":["
              "{\"dimension\":\"Data\",\"score\":null,\"threshold\":0.1,\"exceeded\":false,\"method\":\"ks+psi\"},"
              "{\"dimension\":\"Embedding\",\"score\":1e-7,\"threshold\":null,\"exceeded\":false,"
              "\"method\":\"mmd+sw\"},"
              "{\"dimension\":\"Response\",\"score\":1e+21,\"threshold\":null,\"exceeded\":true,"
              "\"method\":\"ks(length)+sw(emb)\"},"
              "{\"dimension\":\"Confidence\",\"score\":3.0,\"threshold\":-0.0,\"exceeded\":true,"
              "\"method\":\"a\\\"b\\\\\\n\\u0001\"},"
              "{\"dimension\":\"Query\",\"score\":-0.5,\"threshold\":1e+16,\"exceeded\":false,"
              "\"method\":\"kmeans+sym_kl\"}],"
              "\"timestamp\":-5,\"sample_size_baseline\":18446744073709551615,\"sample_size_current\":7}");
}

struct MaxCase {
    std::vector<double> scores;
    double expected;
};

class DriftReportMax : public ::testing::TestWithParam<MaxCase> {};

TEST_P(DriftReportMax, IgnoresNaNAndStartsAtZero) {
    const double m = report_of(GetParam().scores).max_score();
    EXPECT_EQ(m, GetParam().expected);
    EXPECT_FALSE(std::signbit(m));  // a negative zero never replaces 0.0
}

INSTANTIATE_TEST_SUITE_P(Cases, DriftReportMax,
                         ::testing::Values(MaxCase{{}, 0.0}, MaxCase{{-0.3, kNaN}, 0.0}, MaxCase{{0.1, kNaN, 0.7}, 0.7},
                                           MaxCase{{kNaN, kNaN}, 0.0}, MaxCase{{-0.0}, 0.0},
                                           MaxCase{{0.2, kInf, 0.9}, kInf}, MaxCase{{-kInf, 0.4, 0.3}, 0.4}));

TEST(DriftReport, AnyExceeded) {
    DriftReport r;
    EXPECT_FALSE(r.any_exceeded());
    r.scores.push_back(make_score(Dimension::Data, 0.1, 0.5, "ks"));
    r.scores.push_back(make_score(Dimension::Data, kNaN, 0.5, "ks"));
    EXPECT_FALSE(r.any_exceeded());
    r.scores.push_back(make_score(Dimension::Query, 0.5, 0.5, "ks"));  // equality counts
    EXPECT_TRUE(r.any_exceeded());
}

TEST(DriftReport, WallClockSeconds) {
    using namespace std::chrono;
    const auto before = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    const auto t = morvanta::wall_clock_seconds();
    const auto after = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
}

}  // namespace
