// The per-thread fit context: how the fit driver reaches the residual function and the model.
// MINPACK's callback carries no user pointer, so what fcn needs is published here, per
// thread, for the duration of one fit_scan call, and entered and left through fit_scope.
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

// One fit's inputs as fcn and the driver see them.  Idle outside a fit: views unset,
// nothing owned, no model.
struct fit_context {
  // Views of the fit's inputs.
  kelp::vec<const double> cb_data_x, cb_data_y;
  kelp::vec<double> cb_spec_pars;  // the caller's eight parameters: fcn's template
  kelp::vec<const double> cb_z_samples, cb_times, cb_initial_population;
  kelp::cube<const double> cb_laser_intensities;
  model_procedure cb_expr = nullptr;
  // Owned during a fit.
  kelp::buffer<std::int32_t> cb_fit_indices;
  kelp::buffer<double> cb_y_work;  // model values of the last evaluation
  // Copies that keep their last value.
  double cb_frq = 0;
  std::int32_t cb_num_x_pts = 0, cb_num_datasets = 0;
  std::int32_t cb_n_fit = 0;  // 0 outside a fit
  // What the model threw inside fcn, handed back to fit_scan across MINPACK's frames.
  std::exception_ptr cb_model_error;

  bool idle() const noexcept;
};

/// This thread's context.
fit_context& context() noexcept;

// The inputs a fit publishes in the context.
struct fit_inputs {
  kelp::vec<const double> data_x, data_y;
  kelp::vec<double> spec_pars;
  kelp::vec<const double> z_samples, times, initial_population;
  kelp::cube<const double> laser_intensities;
  model_procedure expr = nullptr;
  double frq = 0;
  std::int32_t num_x_pts = 0, num_datasets = 0;
  kelp::vec<const std::int32_t> fit_indices;
  std::int32_t n_fit = 0;
};

// One fit on this thread, from publishing its inputs to the idle context again.  Entering
// while this thread's fit is in progress, or leaving one whose storage is gone, is a broken
// invariant: the process ends (status 2) after a location line and a runtime-error line.
// The destructor returns the context to idle on every way out; finish() first runs the
// end-of-fit checks on the normal one.
class fit_scope {
 public:
  explicit fit_scope(const fit_inputs& in);
  ~fit_scope();
  fit_scope(const fit_scope&) = delete;
  fit_scope& operator=(const fit_scope&) = delete;
  void finish() noexcept;

 private:
  fit_context& c_;
};

}  // namespace chem
