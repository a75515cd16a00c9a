// The resolved model behind either detector: the open aperture (all the transmitted energy,
// open_aperture.hpp), a closed aperture in the far field (far_field.hpp), or the closed over
// the open one.  One evaluation integrates each column once and gives all three.
#pragma once

#include <cstdint>
#include <vector>

#include "chem/phase.hpp"
#include "kelp/open_aperture.hpp"

namespace kelp {

// What the detector behind the sample measures, each divided by the same at low irradiance:
// all the transmitted energy (open), the energy through an aperture in the far field
// (closed), or the closed over the open value of the same position (divided), which removes
// the absorptive part of the closed signal to first order.
enum class detector : std::int32_t { open, closed, divided };

// The closed-aperture settings of an evaluation beside open_aperture_options.
struct aperture_options {
  std::vector<detector> detectors;  // one per pulse energy (scan); empty: every scan open
  double aperture = 0;              // S, the aperture's linear transmittance: 0 < S < 1
  kelp::refraction refraction;      // n2 and kr2 .. kr5 (phase.hpp)
};

/// One scan per pulse energy at the positions x_mm (mm), scan after scan, each as its
/// detector measures it.  Scans all open give exactly open_aperture_curves' values (the
/// refraction, checked, is then not used).  Throws kelp::invalid_argument as
/// open_aperture_curves does, for detectors neither empty nor one per pulse energy, a
/// refraction that is not finite, and, where a scan is closed or divided, an aperture outside
/// 0 < S < 1.  Columns, then positions' far fields, are spread over the call's threads; every
/// value is the one a lone serial evaluation gives.
KELP_API std::vector<double> resolved_curves(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                             const std::vector<double>& populations, const double (&spec_pars)[8],
                                             const setup& s, const open_aperture_options& o,
                                             const aperture_options& a);

}  // namespace kelp
