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

// path, when given, := the integral of I = e^(-a z) / p over the slice, as a second component
// of the same Runge-Kutta steps (the intensity's steps are unchanged by it).
double transmit_stepped(const double& intensity, const double& a, const double& dz, const double& beta,
                        const double& gamma, double* path = nullptr) {
  const double depth = (std::abs(a) + beta * intensity + gamma * intensity * intensity) * dz;
  const double n = std::max(std::min(std::ceil(depth / max_depth), max_substeps), 1.0);
  const double h = dz / n, half = std::exp(-(a * (0.5 * h)));
  const auto rhs = [&](double e, double p) { return beta * e + gamma * (e * e) / p; };
  double p = 1.0 / intensity, integral = 0.0;
  for (double k = 0; k < n; ++k) {
    const double e0 = std::exp(-(a * (k * h))), e1 = e0 * half, e2 = e1 * half;
    const double k1 = rhs(e0, p);
    const double p2 = p + 0.5 * h * k1;
    const double k2 = rhs(e1, p2);
    const double p3 = p + 0.5 * h * k2;
    const double k3 = rhs(e1, p3);
    const double p4 = p + h * k3;
    const double k4 = rhs(e2, p4);
    if (path) integral += (h / 6.0) * (((e0 / p + 2.0 * (e1 / p2)) + 2.0 * (e1 / p3)) + e2 / p4);
    p += (h / 6.0) * (((k1 + 2.0 * k2) + 2.0 * k3) + k4);
  }
  if (path) *path = integral;
  return std::exp(-(a * dz)) / p;
}

// 1/sqrt(-c) atanh(sqrt(-c)) for c < 0 and 1/sqrt(c) atan(sqrt(c)) for c > 0, both 1 at
// c = 0: the integral of dI / (a + gamma I^2) in the form that stays exact as a or gamma
// vanishes (c = a gamma Z^2 below).
double arctan_ratio(const double& c) {
  if (std::abs(c) < 1e-30) return 1.0;
  if (c > 0) return std::atan(std::sqrt(c)) / std::sqrt(c);
  return std::atanh(std::sqrt(-c)) / std::sqrt(-c);
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

// The irradiance integrated over the slice, from the same closed forms as the intensity.
// Along dI/dz = -a I - beta I^2 - gamma I^3 the integral of I dz is that of
// dI / (a + beta I + gamma I^2) from the exit to the entrance intensity; written with the
// effective lengths it stays exact as a, beta or gamma vanish:
// - Beer-Lambert: I0 L_eff;
// - beta alone: ln(1 + beta I0 L_eff) / beta;
// - gamma alone: Z atan(sqrt(a gamma) Z) / (sqrt(a gamma) Z) with
//   Z = 2 I0 L'_eff (a + gamma I0^2) / (s (s + e^(-a L)) (a + gamma I0^2 e^(-a L) / s)),
//   s = sqrt(1 + 2 gamma L'_eff I0^2) (atanh for a < 0);
// - both: integrated with the intensity's Runge-Kutta steps.
double instantaneous_law::transmit(const double& intensity, const double& a, const double& dz, double* path) const {
  if (beta_ == 0 && gamma_ == 0) {
    if (path) *path = intensity * effective_length(a, dz, 1.0);
    return intensity * std::exp(-(a * dz));
  }
  if (!(intensity > 0)) {
    if (path) *path = 0.0;
    return intensity;
  }
  if (gamma_ == 0) {  // I e^(-a L) / (1 + beta I L_eff)
    const double l_eff = effective_length(a, dz, 1.0);
    if (path) *path = std::log1p(beta_ * intensity * l_eff) / beta_;
    return intensity * std::exp(-(a * dz)) / (1.0 + beta_ * intensity * l_eff);
  }
  if (beta_ == 0) {  // I^2 e^(-2 a L) / (1 + 2 gamma L'_eff I^2), L'_eff = (1 - e^(-2 a L)) / (2 a)
    const double l_eff = effective_length(a, dz, 2.0), squared = intensity * intensity;
    if (path) {
      const double s = std::sqrt(1.0 + 2.0 * gamma_ * l_eff * squared), e = std::exp(-(a * dz));
      const double z = 2.0 * intensity * l_eff * (a + gamma_ * squared) / (s * (s + e) * (a + gamma_ * squared * e / s));
      *path = z * arctan_ratio(a * gamma_ * z * z);
    }
    return intensity * std::exp(-(a * dz)) / std::sqrt(1.0 + 2.0 * gamma_ * l_eff * squared);
  }
  return transmit_stepped(intensity, a, dz, beta_, gamma_, path);
}

}  // namespace chem
