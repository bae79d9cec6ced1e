#include "rng.hpp"
namespace morvanta {
}  // namespace morvanta
