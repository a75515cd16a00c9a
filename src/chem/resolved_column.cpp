#include "chem/resolved_column.hpp"

#include "chem/rates.hpp"

namespace chem {

// The scheme, second order in both time and depth:
// - Populations live at the interval ends t_k -+ dt/2.  Each rate step is driven over its
//   whole interval by the intensity of its midpoint, the time sample t_k (midpoint rule).
// - The light of time sample t_k meets populations interpolated to t_k, the mean of the two
//   interval ends.  With fast relaxation both ends sit at the steady state of that intensity,
//   so the mean does too; with slow relaxation the mean is second-order accurate.
// - A slice is driven by the intensity at its centre: what enters it, attenuated over half
//   the slice by its populations at the start of the interval (the light of t_k has not met
//   them yet); it then attenuates the whole slice with its populations at t_k.  At fixed
//   populations the attenuation law is solved exactly (or far below the grid's error): an
//   integrated one would carry DLSODA's relative tolerance into every position, where the
//   division by the linear transmittance would not cancel it.
// - The light sees the slices in depth order at the same instant, so a slice's intensity
//   already holds what the slices before it absorbed at t_k.
// - The phase of a slice is taken at the same fixed populations as its attenuation, and its
//   Kerr part from the irradiance integrated along the slice's own attenuation law.
double resolved_column(const double& peak, const kelp::vec<const double>& pulse, const column_grid& grid,
                       const kelp::vec<const double>& populations, const double& frq, const double* params,
                       const instantaneous_law& law, rate_steps& steps, double* pops, const column_field* field) {
  set_coefficients(frq, params);
  const kelp::index n_z = grid.depth_slices;
  bool empty = true;
  for (kelp::index l = 1; l <= 5; ++l) empty = empty && populations(l) == 0;
  for (kelp::index iz = 0; iz < n_z; ++iz)
    for (kelp::index l = 0; l < 5; ++l) pops[5 * iz + l] = populations(l + 1);
  double advanced[5], at_sample[5];
  const double half_dz = 0.5 * grid.dz, alpha0 = law.alpha0();
  double transmitted = 0.0, incident = 0.0, initial[5];
  for (kelp::index l = 0; l < 5; ++l) initial[l] = populations(l + 1);
  for (kelp::index it = 1; it <= pulse.size(); ++it) {
    const double entering = peak * pulse(it);
    double intensity = entering, phase = 0.0;
    incident += intensity;
    for (kelp::index iz = 0; iz < n_z; ++iz) {
      double* p = pops + 5 * iz;
      if (!empty) {
        steps.advance(p, law.transmit(intensity, attenuation(p) + alpha0, half_dz), advanced);
        for (int l = 0; l < 5; ++l) {
          at_sample[l] = 0.5 * (p[l] + advanced[l]);
          p[l] = advanced[l];
        }
      } else {
        for (int l = 0; l < 5; ++l) at_sample[l] = p[l];
      }
      double path;
      intensity = law.transmit(intensity, attenuation(at_sample) + alpha0, grid.dz, field ? &path : nullptr);
      if (field) phase += field->refraction->slice(path, at_sample, initial, grid.dz);
    }
    transmitted += intensity;
    if (field) {
      const bool lit = entering > 0;
      field->transmittance[it - 1] = lit ? intensity / entering : 1.0;
      field->phase[it - 1] = lit ? phase : 0.0;
    }
  }
  return transmitted / incident;
}

}  // namespace chem
