// The core's models and fit_zscan's arithmetic, for a caller that evaluates them itself (the
// kelp command's simulation, curves and refinement).  Every function computes exactly what
// the fit computes, with the fit's own code, so that its results match fit_zscan's bit for
// bit.  Positions are in millimetres, as fit_zscan takes them; values scan after scan.
#pragma once

#include <cstdint>
#include <vector>

#include "api.hpp"
#include "errors.hpp"

namespace kelp {

// Beam, pulse and sample of a measurement.
struct setup {
  std::int32_t t_slices = 21, z_slices = 11;
  double sample_width = 1e-3;  // m
  double tau = 5e-9;           // s
  double wavelength = 532e-9;  // m
  double w0 = 20e-6;           // m
  double M2 = 1.0;
};

/// Model transmittance of num_datasets scans that share the positions x_mm (millimetres, as
/// the fit takes them), one scan per pulse energy: the result holds the scans one after
/// another, x_mm.size() values each.  Same limits as the fit (at least 5 positions, 2 time
/// and 2 depth points, 5 populations); throws kelp::invalid_argument otherwise.
KELP_API std::vector<double> model_curves(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                          const std::vector<double>& populations, const double (&spec_pars)[8],
                                          const setup& s);

/// The transmitted over the incident sum of every position before the wing shift (the values
/// model_curves shifts by 1 minus the wing level of each scan), same layout and limits.  A
/// curve on a fine grid that must match the model at measured positions takes its ratios from
/// here and the wing level from the measured positions.
KELP_API std::vector<double> transmittance_ratios(const std::vector<double>& x_mm,
                                                  const std::vector<double>& pulse_energy,
                                                  const std::vector<double>& populations,
                                                  const double (&spec_pars)[8], const setup& s);

// The instantaneous absorption of a sample, in SI units as measured: alpha0 in 1/m, beta in
// m/W, gamma in m^3/W^2 (for I in W/m^2).  All three 0: only the five levels absorb.
struct instantaneous_absorption {
  double alpha0 = 0;
  double beta = 0;
  double gamma = 0;
};

// How the populations of a slice advance over one time interval at its fixed midpoint
// intensity: exactly, by the matrix exponential of the rate equations (chem/exact_steps.hpp),
// or by DLSODA at the on-axis model's tolerances, kept to compare with; the latter carries
// no two-photon pumping.
enum class rate_steps : std::int32_t { exact, integrated };

// Settings of the open-aperture model beyond the beam and grid of kelp::setup, whose
// t_slices (time samples across the window) and z_slices (depth slices) it uses too.
struct open_aperture_options {
  // Gauss-Legendre nodes across the beam, 1 to max_radial_nodes: beyond a few dozen the rule
  // no longer changes the result, and a mistyped count should not run for hours.
  static constexpr std::int32_t max_radial_nodes = 100;
  std::int32_t radial_nodes = 6;
  double time_window = 3.0;  // the window is -time_window tau .. time_window tau
  rate_steps steps = rate_steps::exact;
  instantaneous_absorption instantaneous;  // alpha0, beta, gamma beside the five levels
};

/// Open-aperture transmittance of one scan per pulse energy at the positions x_mm (mm),
/// scan after scan, x_mm.size() values each: the energy transmittance over the linear
/// transmittance (kelp/open_aperture.hpp).  Throws kelp::invalid_argument for populations not
/// of 5 values, fewer than 1 time sample or depth slice, radial nodes outside
/// 1 .. max_radial_nodes, a time window that is not a positive number, or more values than a
/// 32-bit count.  The columns (position, radial node) are integrated independently, spread
/// over the call's threads (the thread budget); positions whose peak irradiance repeats
/// another's bit for bit (the same distance from the focus, in any scan) are copied from it.
/// Either way every value is the one a lone serial evaluation gives.
KELP_API std::vector<double> open_aperture_curves(const std::vector<double>& x_mm,
                                                  const std::vector<double>& pulse_energy,
                                                  const std::vector<double>& populations,
                                                  const double (&spec_pars)[8], const setup& s,
                                                  const open_aperture_options& o);

// The refraction of a sample, as measured: n2 in m^2/W (for I in W/m^2), kr[0 .. 3] = kr2 ..
// kr5 in cm^2 (a cross-section times a population, cm^-2 m^-1, is a phase per metre).
struct refraction {
  double n2 = 0;
  double kr[4] = {0, 0, 0, 0};
};

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

// fit_zscan's objective, one step at a time.

/// The square root of each point's weight, sqrt(4 exp(-(2x)^2) + 1) with x the position in
/// metres: the factor of its residual.  x_mm are positions already centred (mm).
KELP_API std::vector<double> fit_weights(const std::vector<double>& x_mm);

/// The point fit_zscan centres on: the index of the lowest measured value (the highest for a
/// saturable absorber, is_sa), the first on a tie; a NaN counts as the extreme, as NumPy's
/// argmin and argmax take it.  Throws invalid_argument for no values, with NumPy's message.
KELP_API std::int64_t centre_index(const std::vector<double>& y, bool is_sa);

/// The multipliers of n_starts starts (start_multiplier of each), none for n_starts <= 0.
KELP_API std::vector<double> start_multipliers(std::int64_t n_starts);

/// The wing level of one scan's transmittance ratios: the mean of the first five and the last
/// five, summed in the model's order.  Throws invalid_argument for fewer than 5 ratios.
KELP_API double wing_level(const std::vector<double>& ratios);

/// The residuals lmdif1 minimises: (measured - model) * fit_weights(x_mm), with x_mm the
/// centred positions of one scan shared by `scans` scans, measured and model scan after scan.
/// Throws invalid_argument when measured or model does not hold scans * x_mm.size() values.
KELP_API std::vector<double> weighted_residuals(const std::vector<double>& measured,
                                                const std::vector<double>& model,
                                                const std::vector<double>& x_mm, std::int64_t scans);

/// The fit's error of weighted residuals: MINPACK's enorm (the Euclidean norm, scaled where
/// a square would overflow or underflow), 0 for none.  Throws invalid_argument for more
/// values than a 32-bit count.
KELP_API double error_norm(const std::vector<double>& residuals);

}  // namespace kelp
