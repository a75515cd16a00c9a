#include "laser.hpp"

#include <cmath>

namespace laser {

double irradiance(const double& r, const double& t, const double& x, const double& energy, const double& tau,
                  const double& w0, const double& z_r) {
  const double xr = x / z_r;
  const double w = std::sqrt(xr * xr + 1.0) * w0;  // beam radius at x
  const double w2 = w * w;
  const double tt = t / tau;
  const double f_t = std::exp(-(tt * tt));  // tau is the 1/e time of the envelope
  const double f_r = std::exp(-(((r * r) * 2) / w2));
  // Peak power 0.94 E / tau; 2 / (pi w^2) turns power into peak irradiance; 1e-4 m^2 -> cm^2.
  return ((((0.94 * energy) / tau) * f_t) * 2) * 1e-4 / (w2 * pi) * f_r;
}

}  // namespace laser
