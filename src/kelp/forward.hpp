// What the fit prepares once before its iterations, and the forward model built from it:
// grids, irradiance table, Rayleigh range and optical frequency.
#pragma once

#include "api.hpp"

#include <cstdint>
#include <vector>

#include "view.hpp"

namespace kelp {

inline constexpr double speed_of_light = 299792458.0;  // m/s

/// Rayleigh range (m) of a beam of waist w0 (m) and quality M2 at wavelength (m).
KELP_API double rayleigh_range(const double& w0, const double& M2, const double& wavelength);
/// Optical frequency (Hz) at wavelength (m).
KELP_API double optical_frequency(const double& wavelength);

/// Depth grid from the entrance (0) to the exit face (sample_width), and time grid one tau
/// wide, centred on the pulse peak; the views' sizes are the point counts.
KELP_API void fill_grids(const double& sample_width, const double& tau, const vec<double>& z_samples, const vec<double>& times);

/// table(i, j, k) := on-axis irradiance at times(j) and position data_x((k-1) n_x + i) (m)
/// for pulse_energy[k-1], with the table's extents n_x x n_t x n_d.
KELP_API void fill_irradiance(const vec<double>& data_x, const vec<double>& times, const double* pulse_energy,
                     const double& tau, const double& w0, const double& z_r, const cube<double>& table);

/// Elements of an n_x x n_t x n_d irradiance table (0 when a count is not positive); throws
/// memory_error when its byte size cannot be represented.
KELP_API index irradiance_table_size(std::int32_t num_x_pts, std::int32_t t_slices, std::int32_t num_datasets);

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
/// model_curves shifts by 1 minus the mean of each scan's first and last five), same layout
/// and limits.  A curve on a fine grid that must match the model at measured positions takes
/// its ratios from here and the wing level from the measured positions.
KELP_API std::vector<double> transmittance_ratios(const std::vector<double>& x_mm,
                                                  const std::vector<double>& pulse_energy,
                                                  const std::vector<double>& populations,
                                                  const double (&spec_pars)[8], const setup& s);

}  // namespace kelp
