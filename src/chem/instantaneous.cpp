#include "chem/instantaneous.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "errors.hpp"

namespace chem {

namespace {

void require_absorption(double value, const char* name) {
  if (!(value >= 0) || !std::isfinite(value))
    throw kelp::invalid_argument(std::string("instantaneous absorption: ") + name +
                                 ": expected a finite number >= 0, got " + std::to_string(value));
}

// (1 - e^(-k a L)) / (k a): the effective length of a slice for an absorption of order k + 1
// (k = 1 two-photon, k = 2 three-photon); L itself without linear absorption.
double effective_length(const double& a, const double& dz, double k) {
  if (a == 0) return dz;
  return -std::expm1(-(k * a * dz)) / (k * a);
}

// Beta and gamma together have no closed form that is not an implicit one with branches, so
// the slice is integrated numerically in p = e^(-a z) / I, where the linear part drops out:
//   dp/dz = beta e^(-a z) + gamma e^(-2 a z) / p,
// a right-hand side bounded by beta + gamma I that only falls as p grows.  Classical
// Runge-Kutta with substeps of at most max_depth of optical depth (a + beta I + gamma I^2) dz
// (the linear part shapes the right-hand side through e^(-a z)): its error, of fourth order
// in that depth, stays below 1e-9 of the intensity (tests/resolved_test.cpp).  The count depends on the inputs alone, so the result is the
// same bits on any thread.
constexpr double max_depth = 0.01;
constexpr double max_substeps = 10000;  // a bound on the work of absurd inputs

double transmit_stepped(const double& intensity, const double& a, const double& dz, const double& beta,
                        const double& gamma) {
  const double depth = (std::abs(a) + beta * intensity + gamma * intensity * intensity) * dz;
  const double n = std::max(std::min(std::ceil(depth / max_depth), max_substeps), 1.0);
  const double h = dz / n, half = std::exp(-(a * (0.5 * h)));
  const auto rhs = [&](double e, double p) { return beta * e + gamma * (e * e) / p; };
  double p = 1.0 / intensity;
  for (double k = 0; k < n; ++k) {
    const double e0 = std::exp(-(a * (k * h))), e1 = e0 * half, e2 = e1 * half;
    const double k1 = rhs(e0, p);
    const double k2 = rhs(e1, p + 0.5 * h * k1);
    const double k3 = rhs(e1, p + 0.5 * h * k2);
    const double k4 = rhs(e2, p + h * k3);
    p += (h / 6.0) * (((k1 + 2.0 * k2) + 2.0 * k3) + k4);
  }
  return std::exp(-(a * dz)) / p;
}

}  // namespace

instantaneous_law::instantaneous_law(const kelp::instantaneous_absorption& a) {
  require_absorption(a.alpha0, "alpha0");
  require_absorption(a.beta, "beta");
  require_absorption(a.gamma, "gamma");
  alpha0_ = a.alpha0;
  beta_ = a.beta * 1e4;
  gamma_ = a.gamma * 1e8;
}

double instantaneous_law::transmit(const double& intensity, const double& a, const double& dz) const {
  if (beta_ == 0 && gamma_ == 0) return intensity * std::exp(-(a * dz));
  if (!(intensity > 0)) return intensity;
  if (gamma_ == 0)  // I e^(-a L) / (1 + beta I L_eff)
    return intensity * std::exp(-(a * dz)) / (1.0 + beta_ * intensity * effective_length(a, dz, 1.0));
  if (beta_ == 0)  // I^2 e^(-2 a L) / (1 + 2 gamma L'_eff I^2), L'_eff = (1 - e^(-2 a L)) / (2 a)
    return intensity * std::exp(-(a * dz)) /
           std::sqrt(1.0 + 2.0 * gamma_ * effective_length(a, dz, 2.0) * (intensity * intensity));
  return transmit_stepped(intensity, a, dz, beta_, gamma_);
}

}  // namespace chem
