#include "snapshot.hpp"
namespace morvanta {
std::string BaselineSnapshot::to_json() const { return "{}"; }
std::variant<BaselineSnapshot, std::string> BaselineSnapshot::from_json(std::string_view) {
    return std::string("not built");
}
}  // namespace morvanta
