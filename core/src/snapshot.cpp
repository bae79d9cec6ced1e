#include "snapshot.hpp"

#include <algorithm>
#include <array>
#include <type_traits>
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace morvanta {

namespace {

constexpr std::array<std::string_view, 8> kFields = {
    "embeddings",       "feature_means",   "feature_stds",        "confidence_scores",
    "response_lengths", "query_centroids", "query_cluster_freqs", "captured_at",
};
constexpr int kCapturedAt = 7;

void write_matrix(json::TextBuffer& out, const std::optional<MatrixF32>& m) {
    if (!m) return out.put("null");
    out.put("{\"v\":1,\"dim\":[");
    out.put_u64(m->rows);
    out.put(',');
    out.put_u64(m->cols);
    out.put("],\"data\":[");
    out.put_floats(m->data.data(), m->data.size());
    out.put("]}");
}

template <class T>
void write_list(json::TextBuffer& out, const std::optional<std::vector<T>>& v) {
    if (!v) return out.put("null");
    out.put('[');
    if constexpr (std::is_same_v<T, double>) out.put_doubles(v->data(), v->size());
    else out.put_u64s(v->data(), v->size());
    out.put(']');
}

// Reads the snapshot straight into its fields, one pass over the text.
class Parser {
public:
    explicit Parser(std::string_view text) : r_(text) {}

    bool snapshot(BaselineSnapshot& s) {
        const int c = r_.peek();
        if (c == '{') {
            r_.advance();
            if (!object_form(s)) return false;
        } else if (c == '[') {
            r_.advance();
            if (!fixed_array(8, "struct BaselineSnapshot with 8 elements",
                             [&](std::size_t i) { return field(static_cast<int>(i), s); }))
                return false;
        } else {
            return r_.type_error("struct BaselineSnapshot");
        }
        return r_.finish();
    }

    const std::string& error() const { return r_.error(); }

private:
    bool object_form(BaselineSnapshot& s) {
        bool seen[8] = {};
        for (bool first = true;; first = false) {
            const int k = r_.next_key(first, key_);
            if (k < 0) return false;
            if (k == 0) break;
            int idx = -1;
            for (int i = 0; i < 8; ++i)
                if (key_ == kFields[static_cast<std::size_t>(i)]) idx = i;
            if (idx < 0) {
                if (!r_.expect_colon() || !r_.skip_value()) return false;
                continue;
            }
            if (seen[idx]) return duplicate(key_);
            seen[idx] = true;
            if (!r_.expect_colon() || !field(idx, s)) return false;
        }
        if (!seen[kCapturedAt]) return r_.fail("missing field `captured_at`");
        return true;
    }

    bool field(int idx, BaselineSnapshot& s) {
        switch (idx) {
            case 0: return matrix(s.embeddings);
            case 1: return f64_list(s.feature_means);
            case 2: return f64_list(s.feature_stds);
            case 3: return f64_list(s.confidence_scores);
            case 4: return u64_list(s.response_lengths);
            case 5: return matrix(s.query_centroids);
            case 6: return f64_list(s.query_cluster_freqs);
            default: return r_.read_i64(s.captured_at);
        }
    }

    // '[' consumed; `element(i)` reads element i < want, later ones are
    // skipped and counted so that the length error names the real count.
    template <class F>
    bool fixed_array(std::size_t want, const char* expected, F&& element) {
        std::size_t n = 0;
        for (;; ++n) {
            const int k = r_.next_element(n == 0);
            if (k < 0) return false;
            if (k == 0) break;
            if (!(n < want ? element(n) : r_.skip_value())) return false;
        }
        if (n != want) return r_.fail("invalid length " + std::to_string(n) + ", expected " + expected);
        return true;
    }

    // Opens a list value; `absent` when it is null.
    bool open_list(bool nullable, bool& absent) {
        absent = false;
        if (nullable && !r_.try_null(absent)) return false;
        if (absent) return true;
        if (r_.peek() != '[') return r_.type_error("a sequence");
        r_.advance();
        return true;
    }

    template <class T, class Read>
    bool list(std::vector<T>& v, Read&& read) {
        for (bool first = true;; first = false) {
            const int k = r_.next_element(first);
            if (k < 0) return false;
            if (k == 0) return true;
            T x;
            if (!read(x)) return false;
            v.push_back(x);
        }
    }

    bool f64_list(std::optional<std::vector<double>>& out) {
        bool absent;
        if (!open_list(true, absent)) return false;
        if (absent) return true;
        std::vector<double> v;
        if (!list(v, [&](double& x) { return r_.read_f64(x); })) return false;
        out = std::move(v);
        return true;
    }

    bool u64_list(std::optional<std::vector<std::uint64_t>>& out) {
        bool absent;
        if (!open_list(true, absent)) return false;
        if (absent) return true;
        std::vector<std::uint64_t> v;
        if (!list(v, [&](std::uint64_t& x) { return r_.read_u64(x); })) return false;
        out = std::move(v);
        return true;
    }

    bool version() {
        std::uint64_t v;
        if (!r_.read_u64(v, "u8", 255)) return false;
        if (v != 1) return r_.fail("unknown array version: " + std::to_string(v));
        return true;
    }

    bool dims(std::size_t& rows, std::size_t& cols) {
        bool absent;
        if (!open_list(false, absent)) return false;
        std::uint64_t d[2] = {0, 0};
        if (!fixed_array(2, "an array of length 2", [&](std::size_t i) { return r_.read_u64(d[i]); })) return false;
        rows = static_cast<std::size_t>(d[0]);
        cols = static_cast<std::size_t>(d[1]);
        return true;
    }

    bool data(std::vector<float>& v, bool have_dims, std::size_t rows, std::size_t cols) {
        bool absent;
        if (!open_list(false, absent)) return false;
        std::size_t n;
        if (have_dims && !__builtin_mul_overflow(rows, cols, &n)) {
            // Each element takes at least two bytes of text, which bounds what a
            // hostile `dim` can make us allocate.
            v.reserve(std::min(n, r_.remaining() / 2 + 1));
        }
        return list(v, [&](float& x) { return r_.read_f32(x); });
    }

    bool matrix(std::optional<MatrixF32>& out) {
        bool absent;
        if (!r_.try_null(absent)) return false;
        if (absent) return true;
        MatrixF32 m;
        bool have_v = false, have_dim = false, have_data = false;
        const int c = r_.peek();
        if (c == '{') {
            r_.advance();
            for (bool first = true;; first = false) {
                const int k = r_.next_key(first, key_);
                if (k < 0) return false;
                if (k == 0) break;
                bool* seen;
                if (key_ == "v") seen = &have_v;
                else if (key_ == "dim") seen = &have_dim;
                else if (key_ == "data") seen = &have_data;
                else return r_.fail("unknown field `" + json::shorten(key_) + "`, expected one of `v`, `dim`, `data`");
                if (*seen) return duplicate(key_);
                *seen = true;
                if (!r_.expect_colon()) return false;
                const bool ok = seen == &have_v     ? version()
                                : seen == &have_dim ? dims(m.rows, m.cols)
                                                    : data(m.data, have_dim, m.rows, m.cols);
                if (!ok) return false;
            }
            if (!have_v) return r_.fail("missing field `v`");
            if (!have_data) return r_.fail("missing field `data`");
            if (!have_dim) return r_.fail("missing field `dim`");
        } else if (c == '[') {
            r_.advance();
            if (!fixed_array(3, "a versioned matrix with 3 elements", [&](std::size_t i) {
                    return i == 0 ? version() : i == 1 ? dims(m.rows, m.cols) : data(m.data, true, m.rows, m.cols);
                }))
                return false;
        } else {
            return r_.type_error("a versioned matrix");
        }
        std::size_t n;
        if (__builtin_mul_overflow(m.rows, m.cols, &n) || n != m.data.size())
            return r_.fail("data and dimension must match in size");
        out = std::move(m);
        return true;
    }

    bool duplicate(const std::string& key) { return r_.fail("duplicate field `" + json::shorten(key) + "`"); }

    json::Reader r_;
    std::string key_;
};

}  // namespace

std::string BaselineSnapshot::to_json() const {
    json::TextBuffer out(128);
    out.put("{\"embeddings\":");
    write_matrix(out, embeddings);
    out.put(",\"feature_means\":");
    write_list(out, feature_means);
    out.put(",\"feature_stds\":");
    write_list(out, feature_stds);
    out.put(",\"confidence_scores\":");
    write_list(out, confidence_scores);
    out.put(",\"response_lengths\":");
    write_list(out, response_lengths);
    out.put(",\"query_centroids\":");
    write_matrix(out, query_centroids);
    out.put(",\"query_cluster_freqs\":");
    write_list(out, query_cluster_freqs);
    out.put(",\"captured_at\":");
    out.put_i64(captured_at);
    out.put('}');
    return std::move(out).take();
}

std::variant<BaselineSnapshot, std::string> BaselineSnapshot::from_json(std::string_view text) {
    Parser p(text);
    BaselineSnapshot s;
    if (!p.snapshot(s)) return p.error();
    return s;
}

}  // namespace morvanta
