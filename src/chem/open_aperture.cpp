#include "chem/open_aperture.hpp"

#include <cmath>

#include "chem/propagation.hpp"
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

// The scheme, second order in both time and depth:
// - Populations live at the interval ends t_k -+ dt/2.  Each rate step is driven over its
//   whole interval by the intensity of its midpoint, the time sample t_k (midpoint rule).
// - The light of time sample t_k meets populations interpolated to t_k, the mean of the two
//   interval ends.  With fast relaxation both ends sit at the steady state of that intensity,
//   so the mean does too; with slow relaxation the mean is second-order accurate.
// - A slice is driven by the intensity at its centre: what enters it, attenuated over half
//   the slice by its populations at the start of the interval (the light of t_k has not met
//   them yet); it then attenuates the whole slice with its populations at t_k.  At fixed
//   populations the attenuation law is Beer-Lambert, so each slice step is an exact
//   exponential: an integrated one would carry DLSODA's relative tolerance into every
//   position, where the division by the linear transmittance would not cancel it.
// - The light sees the slices in depth order at the same instant, so a slice's intensity
//   already holds what the slices before it absorbed at t_k.
double column_transmittance(const double& peak, const kelp::vec<const double>& pulse, const column_grid& grid,
                            const kelp::vec<const double>& populations, const double& frq, const double* params,
                            double* pops) {
  set_coefficients(frq, params);
  odepack::session integrator;
  const kelp::index n_z = grid.depth_slices;
  for (kelp::index iz = 0; iz < n_z; ++iz)
    for (kelp::index l = 0; l < 5; ++l) pops[5 * iz + l] = populations(l + 1);
  double rwork[odepack::lrw];
  odepack::f_int iwork[odepack::liw];
  double state[6], advanced[6], at_sample[5];
  const double half_dz = 0.5 * grid.dz;
  double transmitted = 0.0, incident = 0.0;
  for (kelp::index it = 1; it <= pulse.size(); ++it) {
    double intensity = peak * pulse(it);
    incident += intensity;
    for (kelp::index iz = 0; iz < n_z; ++iz) {
      double* p = pops + 5 * iz;
      for (int l = 0; l < 5; ++l) state[l] = p[l];
      state[5] = intensity * std::exp(-(attenuation(p) * half_dz));
      solve_rates(state, 0.0, grid.dt, rwork, iwork, advanced);
      for (int l = 0; l < 5; ++l) {
        at_sample[l] = 0.5 * (p[l] + advanced[l]);
        p[l] = advanced[l];
      }
      intensity *= std::exp(-(attenuation(at_sample) * grid.dz));
    }
    transmitted += intensity;
  }
  return transmitted / incident;
}

}  // namespace chem
