// Core error messages read back into their fields: every kind round-trips,
// and texts that are not a core error's message (or not in its exact form)
// decode to nothing.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.hpp"

namespace morvanta {
namespace {

constexpr std::size_t kMax = static_cast<std::size_t>(-1);

void expect_round_trip(const DriftError& e) {
    SCOPED_TRACE(e.message());
    const auto d = decode_error(e.message());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->kind, e.kind);
    EXPECT_EQ(d->first, e.first);
    EXPECT_EQ(d->second, e.second);
    EXPECT_EQ(d->context, std::string(e.context));
    EXPECT_EQ(d->text, e.text);
    EXPECT_EQ(d->error().message(), e.message());
}

TEST(ErrorDecode, EveryKindRoundTrips) {
    const std::vector<DriftError> errors = {
        DriftError::dimension_mismatch(3, 2, "DataDriftDetector::detect"),
        DriftError::dimension_mismatch(0, kMax, "x"),
        // A context is anything up to the closing parenthesis, parentheses included.
        DriftError::dimension_mismatch(kMax, 0, "f(a, b) (inner)"),
        DriftError::dimension_mismatch(7, 7, ""),
        DriftError::insufficient_samples(1, 0, "ks_two_sample"),
        DriftError::insufficient_samples(kMax, kMax - 1, "kmeans: k > rows"),
        DriftError::numerical_instability("mmd_rbf"),
        DriftError::numerical_instability("a (NaN or infinity) b"),
        DriftError::numerical_instability(""),
        DriftError::invalid_config("n_projections must be positive"),
        DriftError::invalid_config(""),
        DriftError::invalid_config("dimension mismatch: expected 1, got 2 (x)"),  // the kind is in the prefix
        DriftError::io("cannot open 'a (b).json': No such file or directory"),
        DriftError::serialization("line 1: expected a value\nnear \"{\""),
        DriftError::cancelled(),
        DriftError::out_of_memory(0, "nothing", "k"),
        DriftError::out_of_memory(ByteCount{kMax} + 1, "the projection directions", "sliced_wasserstein"),
        DriftError::out_of_memory(ByteCount{kMax} * kMax, "a (padded) buffer", "mmd"),
        DriftError::out_of_memory(~ByteCount{0} - 1, "x", "y"),
        DriftError::out_of_memory(~ByteCount{0}, "the saturated size", "byte_count"),
    };
    for (const DriftError& e : errors) expect_round_trip(e);
}

TEST(ErrorDecode, RandomCountsAndByteSizesRoundTrip) {
    std::mt19937_64 gen(7);
    for (int i = 0; i < 2000; ++i) {
        // Values of every magnitude, from one digit to the full width.
        const std::size_t a = gen() >> (gen() % 64), b = gen() >> (gen() % 64);
        expect_round_trip(DriftError::dimension_mismatch(a, b, "k"));
        expect_round_trip(DriftError::insufficient_samples(b, a, "k"));
        expect_round_trip(DriftError::out_of_memory((static_cast<ByteCount>(a) << 64) | b, "w", "k"));
    }
}

TEST(ErrorDecode, FieldsOfKnownMessages) {
    auto d = decode_error("insufficient samples: need at least 1, got 0 (ks_two_sample)");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->kind, ErrorKind::InsufficientSamples);
    EXPECT_EQ(std::string(error_kind_name(d->kind)), "insufficient_samples");
    EXPECT_EQ(d->first, 1u);
    EXPECT_EQ(d->second, 0u);
    EXPECT_EQ(d->context, "ks_two_sample");

    d = decode_error("cannot allocate 73786976294838206464 bytes for the projection directions (sliced_wasserstein)");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes(), ByteCount{1} << 66);
    EXPECT_EQ(d->text, "the projection directions");
    EXPECT_EQ(d->context, "sliced_wasserstein");

    d = decode_error("cannot allocate more than 340282366920938463463374607431768211454 bytes for b (c)");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes(), ~ByteCount{0});
}

TEST(ErrorDecode, KindNamesAreDistinctSnakeCase) {
    const ErrorKind kinds[] = {ErrorKind::DimensionMismatch,
                               ErrorKind::InsufficientSamples,
                               ErrorKind::NumericalInstability,
                               ErrorKind::InvalidConfig,
                               ErrorKind::Io,
                               ErrorKind::Serialization,
                               ErrorKind::Cancelled,
                               ErrorKind::OutOfMemory};
    std::vector<std::string> names;
    for (ErrorKind k : kinds) names.emplace_back(error_kind_name(k));
    EXPECT_EQ(names, (std::vector<std::string>{"dimension_mismatch", "insufficient_samples", "numerical_instability",
                                               "invalid_config", "io", "serialization", "cancelled", "out_of_memory"}));
}

TEST(ErrorDecode, OtherTextsDecodeToNothing) {
    const char* texts[] = {
        "",
        "interrupted ",
        "Interrupted",
        "dimension mismatch: expected 3, got 2",       // no context
        "dimension mismatch: expected 3, got 2 (x",    // unclosed
        "dimension mismatch: expected 03, got 2 (x)",  // not the canonical number
        "dimension mismatch: expected +3, got 2 (x)",
        "dimension mismatch: expected 3 got 2 (x)",
        "dimension mismatch: expected 18446744073709551616, got 2 (x)",  // past size_t
        "insufficient samples: need at least , got 0 (x)",
        "numerical instability in mmd",
        "numerical instability in mmd (NaN or infinity) ",
        "invalid configuration:",
        "io error:",
        "cannot allocate 5 bytes for x",
        "cannot allocate 5 bytes for x(y)",
        "cannot allocate -5 bytes for x (y)",
        "cannot allocate 340282366920938463463374607431768211456 bytes for x (y)",  // past 128 bits
        "cannot allocate more than 1 bytes for x (y)",
        "argument 'k': expected an integer",
        "out of memory in DataDrift.detect()",
    };
    for (const char* t : texts) EXPECT_FALSE(decode_error(t)) << t;
}

}  // namespace
}  // namespace morvanta
