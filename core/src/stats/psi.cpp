#include "psi.hpp"
namespace morvanta {
Result<double> psi(std::span<const double>, std::span<const double>, std::size_t, double) { return 0.0; }
Result<double> psi_presorted(std::span<const double>, std::span<const double>, std::span<const double>,
                             std::size_t, double) { return 0.0; }
}  // namespace morvanta
