#include "chem/context.hpp"

#include <cstdio>
#include <cstdlib>

namespace chem {

thread_local kelp::vec<const double> cb_data_x, cb_data_y;
thread_local kelp::vec<double> cb_spec_pars;
thread_local kelp::vec<const double> cb_z_samples, cb_times, cb_initial_population;
thread_local kelp::cube<const double> cb_laser_intensities;
thread_local model_procedure cb_expr = nullptr;
thread_local kelp::buffer<std::int32_t> cb_fit_indices;
thread_local kelp::buffer<double> cb_y_work;
thread_local double cb_frq = 0;
thread_local std::int32_t cb_num_x_pts = 0, cb_num_datasets = 0;
thread_local std::int32_t cb_n_fit = 0;
thread_local std::exception_ptr cb_model_error;

bool context_idle() noexcept {
  return cb_data_x.data() == nullptr && cb_data_y.data() == nullptr && cb_spec_pars.data() == nullptr &&
         cb_z_samples.data() == nullptr && cb_times.data() == nullptr && cb_initial_population.data() == nullptr &&
         cb_laser_intensities.data() == nullptr && cb_expr == nullptr && !cb_fit_indices && !cb_y_work &&
         cb_n_fit == 0 && !cb_model_error;
}

void unset_views() noexcept {
  cb_data_x = {};
  cb_data_y = {};
  cb_spec_pars = {};
  cb_z_samples = {};
  cb_times = {};
  cb_initial_population = {};
  cb_laser_intensities = {};
}

void reset_context() noexcept {
  unset_views();
  cb_fit_indices.reset();
  cb_n_fit = 0;
  cb_expr = nullptr;
  cb_y_work.reset();
  cb_model_error = nullptr;
}

void context_fault(int line, const char* format, const char* variable) noexcept {
  std::fprintf(stderr, "At line %d of file ../src/chem\nRuntime error: ", line);
  std::fprintf(stderr, format, variable);
  std::fputc('\n', stderr);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(2);
}

}  // namespace chem
