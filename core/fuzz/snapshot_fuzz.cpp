// libFuzzer harness for the snapshot reader: any input must either fail with a
// positioned, valid UTF-8 message, or read into a snapshot whose text reads
// back to the same snapshot, bit for bit, and writes back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include "snapshot.hpp"

using morvanta::BaselineSnapshot;
using morvanta::MatrixF32;

namespace {

[[noreturn]] void die(const char* what, std::string_view detail) {
    std::fprintf(stderr, "snapshot_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size() > 500 ? 500 : detail.size()),
                 detail.data());
    std::abort();
}

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

// "... at line L column C" with L >= 1.
bool positioned(const std::string& m) {
    const auto at = m.rfind(" at line ");
    if (at == std::string::npos || at == 0) return false;
    unsigned long line = 0, col = 0;
    char tail = 0;
    return std::sscanf(m.c_str() + at, " at line %lu column %lu%c", &line, &col, &tail) == 2 && line >= 1;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

template <class T>
bool same_opt(const std::optional<std::vector<T>>& a, const std::optional<std::vector<T>>& b) {
    return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

bool same_matrix(const std::optional<MatrixF32>& a, const std::optional<MatrixF32>& b) {
    return a.has_value() == b.has_value() &&
           (!a || (a->rows == b->rows && a->cols == b->cols && same_bits(a->data, b->data)));
}

bool same(const BaselineSnapshot& a, const BaselineSnapshot& b) {
    return same_matrix(a.embeddings, b.embeddings) && same_opt(a.feature_means, b.feature_means) &&
           same_opt(a.feature_stds, b.feature_stds) && same_opt(a.confidence_scores, b.confidence_scores) &&
           same_opt(a.response_lengths, b.response_lengths) && same_matrix(a.query_centroids, b.query_centroids) &&
           same_opt(a.query_cluster_freqs, b.query_cluster_freqs) && a.captured_at == b.captured_at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = BaselineSnapshot::from_json(text);
    if (const auto* err = std::get_if<std::string>(&first)) {
        if (!positioned(*err)) die("error without position", *err);
        if (!valid_utf8(*err)) die("error is not UTF-8", *err);
        return 0;
    }
    const BaselineSnapshot& a = std::get<BaselineSnapshot>(first);
    const std::string written = a.to_json();
    auto second = BaselineSnapshot::from_json(written);
    if (const auto* err = std::get_if<std::string>(&second)) die("written text does not read back", *err);
    const BaselineSnapshot& b = std::get<BaselineSnapshot>(second);
    if (!same(a, b)) die("read-back differs", written);
    if (b.to_json() != written) die("second write differs", written);
    return 0;
}
