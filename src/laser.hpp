// Irradiance of a pulsed Gaussian beam.
#pragma once

namespace laser {

inline constexpr double pi = 3.141592653589793;

/// Irradiance in W/cm^2 at radial distance r (m) from the axis, time t (s) from the pulse
/// centre and axial position x (m) from the focus, for a pulse of energy (J) and 1/e
/// half-duration tau (s), waist w0 (m) and Rayleigh range z_r (m).  IEEE arithmetic
/// throughout: a zero tau or z_r gives infinities or NaN, nothing is checked.
double irradiance(const double& r, const double& t, const double& x, const double& energy, const double& tau,
                  const double& w0, const double& z_r);

}  // namespace laser
