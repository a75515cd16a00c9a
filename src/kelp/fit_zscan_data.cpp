#include "kelp/fit_zscan_data.hpp"

#include <climits>
#include <cstdint>
#include <string>

#include "chem/fit.hpp"
#include "chem/objective.hpp"
#include "chem/propagation.hpp"
#include "errors.hpp"
#include "kelp/forward.hpp"
#include "memory.hpp"

namespace {

using kelp::index;

void require(bool ok, const char* name, const std::string& expected, std::int64_t given) {
  if (!ok) throw kelp::invalid_argument(std::string(name) + ": expected " + expected + ", got " + std::to_string(given));
}

// Everything the model and the fit index by these counts; checked before any allocation.
void check_arguments(std::int32_t t_slices, std::int32_t z_slices, std::int32_t num_x_pts, std::int32_t num_datasets,
                     std::int32_t n_pop, std::int32_t n_fit, std::int32_t n_res, const std::int32_t* fit_indices) {
  kelp::check_counts(t_slices, z_slices, num_x_pts, num_datasets);
  const std::int64_t points = static_cast<std::int64_t>(num_x_pts) * num_datasets;
  require(n_pop == 5, "n_pop", "5", n_pop);
  require(n_fit >= 0, "n_fit", "at least 0", n_fit);
  require(n_res >= 0 && n_res <= points, "n_res", "0 to " + std::to_string(points), n_res);
  for (std::int32_t k = 0; k < n_fit; ++k)
    require(fit_indices[k] >= 1 && fit_indices[k] <= 8, ("fit_indices[" + std::to_string(k) + "]").c_str(),
            "1 to 8", fit_indices[k]);
}

// Elements of the irradiance table; its byte size must be representable.
}  // namespace

void kelp::check_counts(std::int32_t t_slices, std::int32_t z_slices, std::int32_t num_x_pts,
                        std::int32_t num_datasets) {
  require(num_x_pts >= 5, "num_x_pts", "at least 5", num_x_pts);
  require(num_datasets >= 1, "num_datasets", "at least 1", num_datasets);
  const std::int64_t points = static_cast<std::int64_t>(num_x_pts) * num_datasets;
  require(points <= INT32_MAX, "num_x_pts * num_datasets", "at most 2147483647", points);
  require(t_slices >= 2, "t_slices", "at least 2", t_slices);
  require(z_slices >= 2, "z_slices", "at least 2", z_slices);
}

extern "C" void fit_zscan_data(const double* x_data, const double* y_data, const double* populations,
                               double* residuals, double* error, const std::int32_t* t_slices,
                               const std::int32_t* z_slices, const double* sample_width, const double* tau,
                               const double* wavelength, const double* w0, const double* M2,
                               const double* pulse_energy, double* spec_pars, const std::int32_t* fit_indices,
                               const std::int32_t* n_fit, const std::int32_t* num_x_pts,
                               const std::int32_t* num_datasets, const std::int32_t* n_pop,
                               const std::int32_t* n_res) {
  check_arguments(*t_slices, *z_slices, *num_x_pts, *num_datasets, *n_pop, *n_fit, *n_res, fit_indices);
  const index points = static_cast<index>(*num_x_pts) * *num_datasets;
  const index n_x = *num_x_pts, n_t = *t_slices, n_d = *num_datasets;
  // The table's size is settled before anything is allocated, so an impossible size leaves
  // nothing half-built.
  const index table_elements = kelp::irradiance_table_size(*num_x_pts, *t_slices, *num_datasets);

  kelp::buffer<double> z_samples(*z_slices), fit_residuals(points);
  kelp::buffer<double> times(*t_slices), laser_intensities(table_elements);
  kelp::buffer<double> data_x(points), data_y(points), initial_population(*n_pop);

  for (index n = 0; n < points; ++n) data_x[n] = chem::metres(x_data[n]);
  for (index n = 0; n < points; ++n) data_y[n] = y_data[n];
  for (index n = 0; n < *n_pop; ++n) initial_population[n] = populations[n];

  const double z_r = kelp::rayleigh_range(*w0, *M2, *wavelength);
  const double frq = kelp::optical_frequency(*wavelength);
  kelp::fill_grids(*sample_width, *tau, z_samples.view(), times.view());
  const kelp::cube<double> table(laser_intensities.data(), n_x, n_t, n_d);
  kelp::fill_irradiance(data_x.view(), times.view(), pulse_energy, *tau, *w0, z_r, table);

  double fit_error = 0.0;
  chem::fit_scan(data_x.view(), data_y.view(), chem::solve_system, z_samples.view(), times.view(),
                 initial_population.view(), table, fit_residuals.view(), frq, kelp::vec<double>(spec_pars, 8),
                 *num_x_pts, *num_datasets, kelp::vec<const std::int32_t>(fit_indices, *n_fit), *n_fit, fit_error);

  *error = fit_error;
  for (index n = 0; n < *n_res; ++n) residuals[n] = fit_residuals[n];
}
