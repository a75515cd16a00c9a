// What the fit prepares once before its iterations, and the forward model built from it:
// grids, irradiance table, Rayleigh range and optical frequency.  The models themselves are
// declared with the core's public functions (kelp/api/model.hpp).
#pragma once

#include "api.hpp"

#include <cstdint>
#include <vector>

#include "kelp/api/model.hpp"
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

}  // namespace kelp
