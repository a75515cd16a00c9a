// One column of the beam through the sample, for the energy-weighted (open-aperture) model:
// the pulse at one radial node, sampled in time, through the sample cut into depth slices.
// Columns are independent of each other, so the positions and radial nodes of a scan can be
// computed in any order or on any thread; the caller combines them in a fixed order.  The
// column itself is resolved_column.hpp.
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

}  // namespace chem
