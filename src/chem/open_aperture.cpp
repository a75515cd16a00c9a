#include "chem/open_aperture.hpp"

#include "chem/rates.hpp"
#include "odepack.hpp"

namespace chem {

double attenuation(const double* pops) {
  const double y[6] = {1.0, pops[0], pops[1], pops[2], pops[3], pops[4]};
  const odepack::f_int neq = 1;
  const double t = 0;
  double ydot = 0;
  rhs_intensity(&neq, &t, y, &ydot);  // -(alpha * 1)
  return -ydot;
}

}  // namespace chem
