#include "global.hpp"

namespace global {

void linspace(const double& start, const double& stop, const std::int32_t& n, const kelp::vec<double>& dest) {
  if (n <= 0) return;
  if (n == 1) {
    dest(1) = start;
    return;
  }
  const double d = stop - start;
  const double m = static_cast<double>(n - 1);
  for (std::int32_t k = 0; k < n; ++k) dest(k + 1) = (static_cast<double>(k) * d) / m + start;
}

}  // namespace global
