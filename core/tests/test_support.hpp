// Helpers shared by the core tests: random matrices, bit comparisons, named
// table rows and the parametrization over the SIMD paths.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "matrix.hpp"
#include "simd.hpp"

namespace morvanta {

inline std::ostream& operator<<(std::ostream& os, SimdPath p) { return os << simd_name(p); }

namespace testkit {

// Rows of shift + scale * z, z standard normal, from a fixed seed.
inline MatrixF32 gaussian(std::size_t rows, std::size_t cols, unsigned seed, float shift = 0.0f, float scale = 1.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    MatrixF32 m(rows, cols);
    for (auto& v : m.data) v = shift + scale * nd(gen);
    return m;
}

template <class T>
std::string bytes(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}
inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) { return bytes(a) == bytes(b); }

// A table row that names its test case and prints as that name.
struct Named {
    const char* name;
    friend std::ostream& operator<<(std::ostream& os, const Named& n) { return os << n.name; }
};

// Test names from the printed parameter: a Named row's name, a SIMD path's name.
inline constexpr auto param_name = [](const auto& info) { return (std::ostringstream() << info.param).str(); };

// Parametrized over the SIMD paths; a path this CPU cannot run is skipped.
class PathTest : public ::testing::TestWithParam<SimdPath> {
protected:
    void SetUp() override {
        if (!simd_supported(GetParam())) GTEST_SKIP() << "CPU lacks " << GetParam();
    }
};
inline const auto kAllPaths = ::testing::Values(SimdPath::Portable, SimdPath::Avx2, SimdPath::Avx512);

}  // namespace testkit
}  // namespace morvanta
