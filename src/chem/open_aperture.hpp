// One column of the beam through the sample, for the energy-weighted (open-aperture) model:
// the pulse at one radial node, sampled in time, through the sample cut into depth slices.
// Columns are independent of each other, so the positions and radial nodes of a scan can be
// computed in any order or on any thread; the caller combines them in a fixed order.
#pragma once

#include "view.hpp"

namespace chem {

// Time and depth grid of a column.  The time samples are the midpoints of equal intervals dt
// across the pulse window; the slices, of thickness dz, fill the sample exactly.
struct column_grid {
  double dt = 0;  // s
  double dz = 0;  // m, as the attenuation law takes depth
  kelp::index depth_slices = 0;
};

/// Attenuation coefficient k1 N1 + k2 N2 + k3 N4 of populations pops[0 .. 4], from the
/// attenuation law itself (the coefficients set_coefficients left on this thread).
double attenuation(const double* pops);

/// Fluence transmittance of one column: the intensity leaving the sample, summed over the
/// time samples, over the incident intensity summed the same way.  The incident intensity at
/// time sample k is peak * pulse(k) (W/cm^2).  Sets the rate coefficients on the calling
/// thread from frq and params, integrates on its integrator session (opening one if the
/// thread holds none).  populations: N1 .. N5 of every slice before the pulse; pops is
/// working storage of 5 * depth_slices doubles.  Expects depth_slices >= 1 and at least one
/// time sample; the callers check.
double column_transmittance(const double& peak, const kelp::vec<const double>& pulse, const column_grid& grid,
                            const kelp::vec<const double>& populations, const double& frq, const double* params,
                            double* pops);

}  // namespace chem
