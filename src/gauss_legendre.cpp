#include "gauss_legendre.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "laser.hpp"

namespace quadrature {

void gauss_legendre(const kelp::vec<double>& nodes, const kelp::vec<double>& weights) {
  const kelp::index n = nodes.size();
  if (n < 1 || weights.size() != n)
    throw kelp::invalid_argument("gauss_legendre: expected at least 1 node and as many weights, got " +
                                 std::to_string(n) + " and " + std::to_string(weights.size()));
  // Roots of P_n on [-1, 1] by Newton's method from the asymptotic guess; the rule is
  // symmetric, so each root gives two nodes.
  for (kelp::index i = 1; i <= (n + 1) / 2; ++i) {
    double x = std::cos(laser::pi * (static_cast<double>(i) - 0.25) / (static_cast<double>(n) + 0.5));
    double dp = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p0 = 1.0, p1 = x;  // P_0, P_1; then the three-term recurrence up to P_n
      for (kelp::index k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / static_cast<double>(k);
        p0 = p1;
        p1 = p2;
      }
      dp = static_cast<double>(n) * (x * p1 - p0) / (x * x - 1.0);  // P_n'(x)
      const double step = p1 / dp;
      x -= step;
      if (std::abs(step) <= 1e-16) break;
    }
    // Mapped to [0, 1]: node (1 -+ x) / 2, weight w / 2 with w = 2 / ((1 - x^2) P_n'(x)^2).
    const double w = 1.0 / ((1.0 - x * x) * dp * dp);
    nodes(i) = 0.5 * (1.0 - x);
    nodes(n + 1 - i) = 0.5 * (1.0 + x);
    weights(i) = w;
    weights(n + 1 - i) = w;
  }
}

}  // namespace quadrature
