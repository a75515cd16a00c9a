// The per-thread fit context: how the fit driver reaches the residual function and the model.
// MINPACK's callback carries no user pointer, so what fcn needs is published here, per
// thread, for the duration of one fit_scan call.
#pragma once

#include <cstdint>
#include <exception>

#include "memory.hpp"
#include "view.hpp"

namespace chem {

/// The model procedure: predicted normalised transmittance of one scan at every position.
/// Arguments as solve_system takes them (positions, z_samples, times, initial_population,
/// the scan's intensity plane, frq, the eight parameters, the result of as many values as
/// positions).
using model_procedure = void (*)(const kelp::vec<const double>& positions, const kelp::vec<const double>& z_samples,
                                 const kelp::vec<const double>& times,
                                 const kelp::vec<const double>& initial_population,
                                 const kelp::mat<const double>& intensities, const double& frq, const double* params,
                                 const kelp::vec<double>& result);

// Views of the fit's inputs, unset outside a fit.
extern thread_local kelp::vec<const double> cb_data_x, cb_data_y;
extern thread_local kelp::vec<double> cb_spec_pars;  // the caller's eight parameters: fcn's template
extern thread_local kelp::vec<const double> cb_z_samples, cb_times, cb_initial_population;
extern thread_local kelp::cube<const double> cb_laser_intensities;
extern thread_local model_procedure cb_expr;
// Owned during a fit, unallocated outside one.
extern thread_local kelp::buffer<std::int32_t> cb_fit_indices;
extern thread_local kelp::buffer<double> cb_y_work;  // model values of the last evaluation
// Copies that keep their last value.
extern thread_local double cb_frq;
extern thread_local std::int32_t cb_num_x_pts, cb_num_datasets;
extern thread_local std::int32_t cb_n_fit;  // 0 outside a fit
// What the model threw inside fcn, handed back to fit_scan across MINPACK's frames.
extern thread_local std::exception_ptr cb_model_error;

/// True when this thread's context is idle: views unset, nothing owned, no model.
bool context_idle() noexcept;

/// Unsets the views of the fit's inputs.
void unset_views() noexcept;

/// Returns this thread's context to idle without the end-of-fit checks (unwinding path).
void reset_context() noexcept;

/// Ends the process with exit status 2 after a location line and a runtime-error line: a
/// broken invariant of the context (a fit entered twice on one thread).
[[noreturn]] void context_fault(int line, const char* format, const char* variable) noexcept;

}  // namespace chem
