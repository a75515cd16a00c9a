#include "kelp/starts.hpp"

#include <climits>
#include <cmath>
#include <string>

#include "call/stop.hpp"
#include "kelp/fit_zscan_data.hpp"
#include "odepack.hpp"
#include "parallel/budget.hpp"
#include "parallel/tasks.hpp"

namespace kelp {

index_error::index_error(int axis)
    : std::out_of_range("Out of bounds on buffer access (axis " + std::to_string(axis) + ")"), axis_(axis) {}

double start_multiplier(index i, index n_starts) {
  const double d = n_starts > 1 ? static_cast<double>(n_starts - 1) : 1.0;
  // This order of operations is part of the result: the middle of an odd number of starts
  // comes out as exactly 1.
  const double e = (static_cast<double>(i) * 1.04) / d - 0.52;
  return std::pow(10.0, e);
}

void fill_start_values(const zero_based_matrix<double>& all_spec_pars, const zero_based_array<const double>& spec_pars,
                       const zero_based_array<const std::int32_t>& fit_indices,
                       const zero_based_array<const double>& start_multipliers, index n_starts) {
  for (index i = 0; i < n_starts; ++i)
    for (index j = 0; j < fit_indices.size; ++j) {
      const index k = fit_indices.at(j);
      const double value = spec_pars.at(k) * start_multipliers.at(i);
      all_spec_pars.at(i, k) = value;
    }
}

namespace {

[[noreturn]] void reject(const std::string& name, const std::string& expected, index given) {
  throw invalid_argument(name + ": expected " + expected + ", got " + std::to_string(given));
}

// What the core reads by fixed extents, checked once before the first fit.  Counts first:
// the expected lengths are made of them.
void check_sizes(const fit_arrays& a, const fit_settings& s) {
  check_counts(s.t_slices, s.z_slices, s.num_x_pts, s.num_datasets);
  const index points = static_cast<index>(s.num_x_pts) * s.num_datasets;
  const std::string n = std::to_string(points) + " values (num_x_pts * num_datasets)";
  if (a.centered_x.size != points) reject("x_data", n, a.centered_x.size);
  if (a.y_data.size != points) reject("y_data", n, a.y_data.size);
  if (a.populations.size != 5) reject("populations", "5 values", a.populations.size);
  if (a.pulse_energy.size < s.num_datasets)
    reject("pulse_energy", "at least " + std::to_string(s.num_datasets) + " values (num_datasets)",
           a.pulse_energy.size);
  if (a.all_spec_pars.cols != 8) reject("spec_pars", "8 values", a.all_spec_pars.cols);
  if (a.n_fit > INT32_MAX) reject("fit_indices", "at most 2147483647 values", a.n_fit);
}

// What start i reads and writes, each access tested in the order the loop of starts has
// always tested them (the first that fails names the axis of the error).
struct start_access {
  const double *x, *y, *populations;
  double *residuals, *error;
  const double* pulse_energy;
  double* spec_pars;
  const std::int32_t* fit_indices;
};

start_access access(const fit_arrays& a, index i) {
  return {&a.centered_x.at(0),     &a.y_data.at(0),     &a.populations.at(0),    &a.all_residuals.at(i, 0),
          &a.all_errors.at(i),     &a.pulse_energy.at(0), &a.all_spec_pars.at(i, 0), &a.one_based_indices.at(0)};
}

}  // namespace

void run_starts(const fit_arrays& a, const fit_settings& s, index n_starts) {
  // Every start's accesses, in the order of the starts, before any fit: the starts may run
  // at once, and a bad call still fails with the error the first bad start gives.
  for (index i = 0; i < n_starts; ++i) {
    (void)access(a, i);
    if (i == 0) check_sizes(a, s);
  }
  // Checked above: every count fits the core's 32-bit integers.
  const auto n_fit = static_cast<std::int32_t>(a.n_fit);
  const auto n_pop = static_cast<std::int32_t>(a.populations.size);
  const auto n_res = static_cast<std::int32_t>(a.y_data.size);
  // Each start writes only its own row and slot; which thread runs it does not change a bit.
  parallel::for_each_task(n_starts, [&](std::int64_t i) {
    const start_access p = access(a, i);
    fit_zscan_data(p.x, p.y, p.populations, p.residuals, p.error, &s.t_slices, &s.z_slices, &s.sample_width,
                   &s.tau, &s.wavelength, &s.w0, &s.M2, p.pulse_energy, p.spec_pars, p.fit_indices, &n_fit,
                   &s.num_x_pts, &s.num_datasets, &n_pop, &n_res);
  });
}

void fit_starts(const fit_arrays& a, const fit_settings& s, index n_starts, bool (*poll)(void* arg) noexcept,
                void* poll_arg) {
  // The slot first: a thread waiting for one holds no integrator copy, nor the shared
  // instance's lock that the threads it waits for may need.
  parallel::caller_slot slot;
  odepack::session integrator;
  stoppable_call call(poll, poll_arg);
  run_starts(a, s, n_starts);
  // A stop noticed after the last evaluation (a signal handled late) still ends the call.
  if (call.stopped()) throw interrupted("the fit was interrupted");
}

index select_best(const zero_based_array<const double>& all_errors) {
  index best = 0;
  double best_error = all_errors.at(0);
  for (index i = 1; i < all_errors.size; ++i)
    if (all_errors.at(i) < best_error) {  // false for a NaN on either side
      best_error = all_errors.at(i);
      best = i;
    }
  return best;
}

}  // namespace kelp
