#include "module_state.hpp"

namespace morvanta::py {

State g;

}  // namespace morvanta::py
