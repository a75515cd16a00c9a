#include <exception>

#include "call/context.hpp"
#include "call/stop.hpp"
#include "chem/fit.hpp"
#include "chem/objective.hpp"
#include "errors.hpp"

namespace chem {

void evaluate_scan(kelp::index i, const double* params) {
  const fit_context& c = context();
  const kelp::index start = (i - 1) * c.cb_num_x_pts + 1, end = i * c.cb_num_x_pts;
  c.cb_expr(c.cb_data_x.sub(start, end), c.cb_z_samples, c.cb_times, c.cb_initial_population,
            c.cb_laser_intensities.plane(i), c.cb_frq, params, c.cb_y_work.view().sub(start, end));
}

namespace {

void weighted_residuals(minpack::f_int n, const double* x, double* fvec) {
  const fit_context& c = context();
  double p[8];  // trial parameter set: the template with the trial values substituted
  for (int l = 1; l <= 8; ++l) p[l - 1] = c.cb_spec_pars(l);
  for (minpack::f_int k = 1; k <= n; ++k) p[c.cb_fit_indices[k - 1] - 1] = x[k - 1];
  if (c.cb_num_datasets <= 0) return;
  const kelp::index points = c.cb_num_x_pts;
  for (kelp::index i = 1; i <= c.cb_num_datasets; ++i) {
    const kelp::index start = (i - 1) * points + 1, end = i * points;
    evaluate_scan(i, p);
    for (kelp::index j = start; j <= end; ++j)
      fvec[j - 1] = weighted_residual(c.cb_data_y(j), c.cb_y_work[j - 1], c.cb_data_x(j));
  }
}

}  // namespace

void fcn(minpack::f_int*, minpack::f_int* n, double* x, double* fvec, minpack::f_int* iflag) noexcept {
  kelp::count_evaluation();
  try {
    // Between evaluations the call may be asked to stop; a negative iflag ends lmdif1 at once.
    if (kelp::stop_requested()) throw kelp::interrupted("the fit was interrupted");
    weighted_residuals(*n, x, fvec);
  } catch (...) {
    context().cb_model_error = std::current_exception();
    *iflag = -1;
  }
}

}  // namespace chem
