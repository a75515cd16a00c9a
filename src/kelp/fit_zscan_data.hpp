// The core entry: one complete fit from one set of start values.
#pragma once

#include "api.hpp"

#include <cstdint>

namespace kelp {
/// The grid and scan counts the model can compute with: num_x_pts >= 5, num_datasets >= 1,
/// their product within 32 bits, t_slices and z_slices >= 2.  Throws kelp::invalid_argument
/// naming the count, what was expected and what was given.
KELP_API void check_counts(std::int32_t t_slices, std::int32_t z_slices, std::int32_t num_x_pts, std::int32_t num_datasets);
}  // namespace kelp

extern "C" {

/// Converts the positions from millimetres to metres, builds the depth and time grids and the
/// irradiance table, and runs the fit of the parameters named by fit_indices (1-based) on all
/// num_datasets scans.  On return: error, residuals(0 .. n_res-1) (unweighted, measured minus
/// model) and spec_pars (fitted entries updated).  Every argument by address.
///
/// Throws kelp::invalid_argument, before anything is allocated, when the counts are outside
/// what the model can compute with (num_x_pts < 5, t_slices or z_slices < 2,
/// num_datasets < 1, n_pop != 5, n_fit < 0, an index outside 1 .. 8, n_res outside 0 .. N,
/// N = num_x_pts * num_datasets beyond 32 bits), and kelp::memory_error when memory runs out.
/// The caller guarantees the array lengths: N positions and values, num_datasets energies,
/// n_pop populations, 8 parameters, n_fit indices and n_res residual slots.
KELP_API void fit_zscan_data(const double* x_data, const double* y_data, const double* populations, double* residuals,
                    double* error, const std::int32_t* t_slices, const std::int32_t* z_slices,
                    const double* sample_width, const double* tau, const double* wavelength, const double* w0,
                    const double* M2, const double* pulse_energy, double* spec_pars, const std::int32_t* fit_indices,
                    const std::int32_t* n_fit, const std::int32_t* num_x_pts, const std::int32_t* num_datasets,
                    const std::int32_t* n_pop, const std::int32_t* n_res);
}
