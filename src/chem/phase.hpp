// Refraction beside the attenuation in the resolved model: the nonlinear phase a column picks
// up through the sample.  Per unit depth, at fixed populations,
//   dphi/dz = k n2 I + sum_j kr_j (N_j - N_j(0)),   j = 2 .. 5,  k = 2 pi / lambda,
// with a Kerr index n2 and refractive cross-sections kr_j: the phase per metre that a unit
// population of level j adds relative to the same molecules in level 1 (as k1 .. k3 are
// attenuation per metre per unit population), so only what the pulse moved out of the initial
// populations counts.  Sign: a positive phase is a longer optical path, so positive n2 or kr_j
// focus (a phase highest on the axis acts as a converging lens).
#pragma once

// The refraction as measured (SI units) is one of the model's public settings.
#include "kelp/api/model.hpp"

namespace chem {

// The same in the model's units (I in W/cm^2, depth in m).
class refraction_law {
 public:
  refraction_law() = default;
  /// wavelength in m.  Throws kelp::invalid_argument unless n2 and every kr are finite (of
  /// either sign: a defocusing sample has n2 < 0) and the wavelength is a positive number.
  refraction_law(const kelp::refraction& r, const double& wavelength);

  /// Phase (rad) one slice of thickness dz (m) adds: k n2 times path, the integral of the
  /// irradiance over the slice (W/cm^2 m, from instantaneous_law::transmit), plus the levels'
  /// share at the populations pops[0 .. 4] it holds, against the initial ones.
  double slice(const double& path, const double* pops, const double* initial, const double& dz) const;

 private:
  double kerr_ = 0;  // k n2 1e4: rad per m per W/cm^2
  double kr_[4] = {0, 0, 0, 0};
};

}  // namespace chem
