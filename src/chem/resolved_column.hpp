// One column of the beam through the sample for the resolved model, whatever advances the
// populations (exact_steps.hpp) and with the instantaneous absorption (instantaneous.hpp) in
// the attenuation law.  The scheme is described in resolved_column.cpp.
#pragma once

#include "chem/exact_steps.hpp"
#include "chem/instantaneous.hpp"
#include "chem/open_aperture.hpp"
#include "chem/phase.hpp"
#include "view.hpp"

namespace chem {

// What a column records per time sample for the far field, beside its fluence transmittance:
// the intensity leaving the sample over the incident one, and the phase the sample added
// (rad, refraction's), each n_t values in time order.  A sample without light records 1 and 0.
struct column_field {
  const refraction_law* refraction = nullptr;
  double* transmittance = nullptr;
  double* phase = nullptr;
};

/// Fluence transmittance of one column: the intensity leaving the sample, summed over the
/// time samples, over the incident intensity summed the same way.  The incident intensity at
/// time sample k is peak * pulse(k) (W/cm^2).  Sets the rate coefficients on the calling
/// thread from frq and params; `steps` advances the populations (made for grid.dt), `law`
/// attenuates each slice (its alpha0 adds to the levels' attenuation).  populations: N1 .. N5
/// of every slice before the pulse; all 0 make the sample a purely instantaneous absorber, and
/// no rate step is taken.  pops is working storage of 5 * depth_slices doubles.  Expects
/// depth_slices >= 1 and at least one time sample; the callers check.  With `field`, also
/// records it (the returned value is the same bits either way).
double resolved_column(const double& peak, const kelp::vec<const double>& pulse, const column_grid& grid,
                       const kelp::vec<const double>& populations, const double& frq, const double* params,
                       const instantaneous_law& law, rate_steps& steps, double* pops,
                       const column_field* field = nullptr);

}  // namespace chem
