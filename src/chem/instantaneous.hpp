// Absorption that follows the intensity at once, beside what the five levels carry: a linear
// background alpha0, two-photon (beta) and three-photon (gamma) absorption.  Within one depth
// slice, at fixed populations, the light obeys
//   dI/dz = -(alpha0 + alpha(N)) I - beta I^2 - gamma I^3
// with alpha(N) = k1 N1 + k2 N2 + k3 N4 per metre (rates.hpp).
#pragma once

#include "api.hpp"
// The absorption as measured (SI units) is one of the model's public settings.
#include "kelp/api/model.hpp"

namespace chem {

// The same absorption in the model's units, where the intensity is in W/cm^2 and the depth in
// m: I_SI = 1e4 I, so beta I_SI^2 = 1e4 I (1e4 beta I) and gamma I_SI^3 = 1e4 I (1e8 gamma I^2).
class instantaneous_law {
 public:
  instantaneous_law() = default;
  /// Throws kelp::invalid_argument unless each of alpha0, beta and gamma is finite and >= 0:
  /// a negative one is gain, which the exact forms below do not carry.
  explicit instantaneous_law(const kelp::instantaneous_absorption& a);

  double alpha0() const { return alpha0_; }
  /// Two-photon pumping: population moved from level 1 to level 2 per second at intensity I
  /// is pump() I^2, one per photon pair absorbed: beta I^2 / (2 h nu) in model units.
  double pump(const double& photons_per_joule) const { return 0.5 * beta_ * photons_per_joule; }
  bool two_photon() const { return beta_ != 0; }

  /// Intensity (W/cm^2) leaving a slice of thickness dz (m) entered by `intensity`, with the
  /// attenuation a = alpha0 + alpha(N) (1/m) of its populations held fixed.  Exact where the
  /// law has a closed form (beta and gamma not both > 0); otherwise classical Runge-Kutta in
  /// 1/I, fine enough to sit far below the model's grid error (instantaneous.cpp).  With
  /// beta = gamma = 0 this is intensity * exp(-(a dz)) to the bit.  Given `path`, also
  /// *path := the integral of the irradiance over the slice (W/cm^2 m), what a Kerr phase
  /// accumulates: exact where the intensity is, integrated beside it where it is stepped; the
  /// intensity is the same bits either way.
  double transmit(const double& intensity, const double& a, const double& dz, double* path = nullptr) const;

 private:
  double alpha0_ = 0;  // 1/m
  double beta_ = 0;    // 1/m per W/cm^2
  double gamma_ = 0;   // 1/m per (W/cm^2)^2
};

}  // namespace chem
