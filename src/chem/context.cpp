#include "chem/context.hpp"

#include <cstdio>
#include <cstdlib>

namespace chem {

namespace {

thread_local fit_context this_thread;

void unset_views(fit_context& c) noexcept {
  c.cb_data_x = {};
  c.cb_data_y = {};
  c.cb_spec_pars = {};
  c.cb_z_samples = {};
  c.cb_times = {};
  c.cb_initial_population = {};
  c.cb_laser_intensities = {};
}

// Idle again: views unset, storage released, no model, no pending error.
void reset(fit_context& c) noexcept {
  unset_views(c);
  c.cb_fit_indices.reset();
  c.cb_n_fit = 0;
  c.cb_expr = nullptr;
  c.cb_y_work.reset();
  c.cb_model_error = nullptr;
}

// The location and runtime-error lines of the compiled model's own checks.
[[noreturn]] void context_fault(int line, const char* format, const char* variable) noexcept {
  std::fprintf(stderr, "At line %d of file ../src/chem\nRuntime error: ", line);
  std::fprintf(stderr, format, variable);
  std::fputc('\n', stderr);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(2);
}

void publish(fit_context& c, const fit_inputs& in) {
  c.cb_data_x = in.data_x;
  c.cb_data_y = in.data_y;
  c.cb_spec_pars = in.spec_pars;
  c.cb_z_samples = in.z_samples;
  c.cb_times = in.times;
  c.cb_initial_population = in.initial_population;
  c.cb_laser_intensities = in.laser_intensities;
  c.cb_frq = in.frq;
  c.cb_num_x_pts = in.num_x_pts;
  c.cb_num_datasets = in.num_datasets;
  if (c.cb_fit_indices) context_fault(231, "Attempting to allocate already allocated variable '%s'", "cb_fit_indices");
  c.cb_fit_indices = kelp::buffer<std::int32_t>(in.n_fit);
  for (kelp::index k = 1; k <= in.n_fit; ++k) c.cb_fit_indices[k - 1] = in.fit_indices(k);
  c.cb_n_fit = in.n_fit;
  c.cb_expr = in.expr;
  if (c.cb_y_work) context_fault(235, "Attempting to allocate already allocated variable '%s'", "cb_y_work");
  c.cb_y_work = kelp::buffer<double>(in.data_x.size());
}

}  // namespace

bool fit_context::idle() const noexcept {
  return cb_data_x.data() == nullptr && cb_data_y.data() == nullptr && cb_spec_pars.data() == nullptr &&
         cb_z_samples.data() == nullptr && cb_times.data() == nullptr && cb_initial_population.data() == nullptr &&
         cb_laser_intensities.data() == nullptr && cb_expr == nullptr && !cb_fit_indices && !cb_y_work &&
         cb_n_fit == 0 && !cb_model_error;
}

fit_context& context() noexcept { return this_thread; }

fit_scope::fit_scope(const fit_inputs& in) : c_(this_thread) {
  try {
    publish(c_, in);
  } catch (...) {  // out of memory: no fit, and an idle context for the next one
    reset(c_);
    throw;
  }
}

fit_scope::~fit_scope() { reset(c_); }

void fit_scope::finish() noexcept {
  fit_context& c = c_;
  unset_views(c);
  if (!c.cb_fit_indices) context_fault(263, "Attempt to DEALLOCATE unallocated '%s'", "cb_fit_indices");
  c.cb_fit_indices.reset();
  c.cb_n_fit = 0;
  c.cb_expr = nullptr;
  if (!c.cb_y_work) context_fault(266, "Attempt to DEALLOCATE unallocated '%s'", "cb_y_work");
  c.cb_y_work.reset();
}

}  // namespace chem
