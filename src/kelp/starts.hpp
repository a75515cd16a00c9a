// The multi-start fit of one fit_zscan call on plain arrays: start multipliers, start values,
// the loop of starts around the core entry, and the choice of the best start.  Nothing here
// touches Python, so the binding layer runs it with the interpreter lock released.
#pragma once

#include <cstdint>

#include "api.hpp"
#include "errors.hpp"
#include "view.hpp"

namespace kelp {

// The call's own arrays, indexed from 0 as the Python buffers they stand for, and kept apart
// from the core's 1-based views (vec, mat, cube): a contiguous array of the caller's or of
// the call's own, by its first element and length.  at() tests the index like the buffer
// accesses it stands for.
template <class T>
struct zero_based_array {
  T* data = nullptr;
  index size = 0;
  T& at(index i) const {
    if (i < 0 || i >= size) throw index_error(0);
    return data[i];
  }
};

// A row-major matrix (rows x cols, rows contiguous): row i is the storage of start i.
template <class T>
struct zero_based_matrix {
  T* data = nullptr;
  index rows = 0, cols = 0;
  T& at(index i, index j) const {
    if (i < 0 || i >= rows) throw index_error(0);
    if (j < 0 || j >= cols) throw index_error(1);
    return data[i * cols + j];
  }
};

/// Multiplier of start i of n_starts: 10^((i * 1.04) / d - 0.52) with d = n_starts - 1, or 1
/// for a single start, so that the starts run log-evenly from 10^-0.52 to 10^0.52.
KELP_API double start_multiplier(index i, index n_starts);

/// all_spec_pars(i, k) := spec_pars[k] * start_multipliers[i] for every start i < n_starts and
/// every fitted k = fit_indices[j]; the rows already hold copies of spec_pars.  Taking the value
/// from spec_pars, not from the row, multiplies an index named twice only once.
KELP_API void fill_start_values(const zero_based_matrix<double>& all_spec_pars,
                                const zero_based_array<const double>& spec_pars,
                                const zero_based_array<const std::int32_t>& fit_indices,
                                const zero_based_array<const double>& start_multipliers, index n_starts);

// Beam, pulse, sample and grid settings shared by every start.
struct fit_settings {
  std::int32_t t_slices = 0, z_slices = 0;
  double sample_width = 0, tau = 0, wavelength = 0, w0 = 0, M2 = 0;
  std::int32_t num_x_pts = 0, num_datasets = 0;
};

// The arrays of one call: the inputs every start reads and the per-start outputs.
struct fit_arrays {
  zero_based_array<const double> centered_x, y_data, populations, pulse_energy;
  zero_based_array<const std::int32_t> one_based_indices;
  index n_fit = 0;  // number of fitted parameters (the length of the caller's fit_indices)
  zero_based_matrix<double> all_spec_pars, all_residuals;
  zero_based_array<double> all_errors;
};

/// Runs the core fit once per start, i = 0 .. n_starts-1, start i writing row i of
/// all_spec_pars and all_residuals and slot i of all_errors.  First, for every start in order,
/// the accesses its call makes are tested (index_error), and after start 0's the lengths and
/// counts are checked against what the model needs (invalid_argument naming the argument), so
/// a bad call fails before any fit runs.  Then the starts run, at once where the thread budget
/// has room; what the core throws (the lowest-numbered start's) passes through once the
/// others have ended, and no later start begins.  Runs inside the call's slot, session and
/// stop state (fit_starts); a test may call it inside its own.
KELP_API void run_starts(const fit_arrays& a, const fit_settings& s, index n_starts);

/// One fit_zscan call's loop of starts, as a call of its own: it holds one slot of the thread
/// budget (waiting for one), an integrator session and a stoppable call around run_starts.
/// `poll`, when given, runs on the calling thread between residual evaluations and returns
/// true to stop the call (a pending Ctrl-C).  Throws interrupted when the call was stopped,
/// also by a poll that answered after the last evaluation; else what run_starts throws.
/// Call without any lock that another thread's fit may wait for (the interpreter's).
KELP_API void fit_starts(const fit_arrays& a, const fit_settings& s, index n_starts,
                         bool (*poll)(void* arg) noexcept = nullptr, void* poll_arg = nullptr);

/// The start with the strictly smallest error, the earlier one on a tie; a NaN never wins
/// over start 0 or an earlier best.  Throws index_error when there is no start.
KELP_API index select_best(const zero_based_array<const double>& all_errors);

}  // namespace kelp
