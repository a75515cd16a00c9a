#include "chem/phase.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "laser.hpp"

namespace chem {

namespace {

void require_finite(double value, const std::string& name) {
  if (!std::isfinite(value))
    throw kelp::invalid_argument("refraction: " + name + ": expected a finite number, got " + std::to_string(value));
}

}  // namespace

refraction_law::refraction_law(const kelp::refraction& r, const double& wavelength) {
  require_finite(r.n2, "n2");
  for (int j = 0; j < 4; ++j) require_finite(r.kr[j], "kr" + std::to_string(j + 2));
  if (!(wavelength > 0) || !std::isfinite(wavelength))
    throw kelp::invalid_argument("refraction: wavelength: expected a positive number, got " +
                                 std::to_string(wavelength));
  kerr_ = 2.0 * laser::pi / wavelength * r.n2 * 1e4;
  for (int j = 0; j < 4; ++j) kr_[j] = r.kr[j];
}

double refraction_law::slice(const double& path, const double* pops, const double* initial, const double& dz) const {
  double levels = 0.0;
  for (int j = 0; j < 4; ++j) levels += kr_[j] * (pops[j + 1] - initial[j + 1]);
  return kerr_ * path + levels * dz;
}

}  // namespace chem
