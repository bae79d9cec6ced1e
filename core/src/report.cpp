#include "report.hpp"
#include <chrono>
namespace morvanta {
bool DriftReport::any_exceeded() const noexcept {
    for (const auto& s : scores)
        if (s.exceeded) return true;
    return false;
}
double DriftReport::max_score() const noexcept {
    double m = 0.0;
    for (const auto& s : scores)
        if (s.score > m) m = s.score;  // NaN never compares greater
    return m;
}
std::string DriftReport::to_json() const { return "{}"; }
std::int64_t wall_clock_seconds() noexcept {
    using namespace std::chrono;
    auto s = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return s < 0 ? 0 : static_cast<std::int64_t>(s);
}
}  // namespace morvanta
