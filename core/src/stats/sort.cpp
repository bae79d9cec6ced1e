#include "sort.hpp"
#include <algorithm>
namespace morvanta {
void sort_nan_last(std::span<double> v) { std::sort(v.begin(), v.end()); }
std::vector<double> sorted_copy(std::span<const double> v) {
    std::vector<double> out(v.begin(), v.end());
    sort_nan_last(out);
    return out;
}
}  // namespace morvanta
