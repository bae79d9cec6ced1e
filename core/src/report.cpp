#include "report.hpp"

#include <chrono>
#include "json/writer.hpp"

namespace morvanta {

bool DriftReport::any_exceeded() const noexcept {
    for (const auto& s : scores)
        if (s.exceeded) return true;
    return false;
}

double DriftReport::max_score() const noexcept {
    // NaN never compares greater and -0.0 never beats the initial 0.0.
    double m = 0.0;
    for (const auto& s : scores)
        if (s.score > m) m = s.score;
    return m;
}

std::string DriftReport::to_json() const {
    json::TextBuffer out;
    out.put("{\"scores\":[");
    bool first = true;
    for (const auto& s : scores) {
        if (!first) out.put(',');
        first = false;
        out.put("{\"dimension\":");
        out.put_string(dimension_json_name(s.dimension));
        out.put(",\"score\":");
        out.put_double(s.score);
        out.put(",\"threshold\":");
        out.put_double(s.threshold);
        out.put(",\"exceeded\":");
        out.put_bool(s.exceeded);
        out.put(",\"method\":");
        out.put_string(s.method);
        out.put('}');
    }
    out.put("],\"timestamp\":");
    out.put_i64(timestamp);
    out.put(",\"sample_size_baseline\":");
    out.put_u64(sample_size_baseline);
    out.put(",\"sample_size_current\":");
    out.put_u64(sample_size_current);
    out.put('}');
    return std::move(out).take();
}

std::int64_t wall_clock_seconds() noexcept {
    using namespace std::chrono;
    // duration_cast truncates toward zero, so any time before the epoch gives <= 0.
    const auto s = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return s < 0 ? 0 : static_cast<std::int64_t>(s);
}

}  // namespace morvanta
