// One column of the beam through the sample for the resolved model, whatever advances the
// populations (exact_steps.hpp) and with the instantaneous absorption (instantaneous.hpp) in
// the attenuation law.  The scheme is described in resolved_column.cpp.
#pragma once

#include "chem/exact_steps.hpp"
#include "chem/instantaneous.hpp"
#include "chem/open_aperture.hpp"
#include "view.hpp"

namespace chem {

/// Fluence transmittance of one column: the intensity leaving the sample, summed over the
/// time samples, over the incident intensity summed the same way.  The incident intensity at
/// time sample k is peak * pulse(k) (W/cm^2).  Sets the rate coefficients on the calling
/// thread from frq and params; `steps` advances the populations (made for grid.dt), `law`
/// attenuates each slice (its alpha0 adds to the levels' attenuation).  populations: N1 .. N5
/// of every slice before the pulse; all 0 make the sample a purely instantaneous absorber, and
/// no rate step is taken.  pops is working storage of 5 * depth_slices doubles.  Expects
/// depth_slices >= 1 and at least one time sample; the callers check.
double resolved_column(const double& peak, const kelp::vec<const double>& pulse, const column_grid& grid,
                       const kelp::vec<const double>& populations, const double& frq, const double* params,
                       const instantaneous_law& law, rate_steps& steps, double* pops);

}  // namespace chem
