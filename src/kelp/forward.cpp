#include "kelp/forward.hpp"

#include "parallel/budget.hpp"

#include <climits>
#include <string>

#include "chem/objective.hpp"
#include "chem/propagation.hpp"
#include "errors.hpp"
#include "global.hpp"
#include "laser.hpp"
#include "memory.hpp"

namespace kelp {

double rayleigh_range(const double& w0, const double& M2, const double& wavelength) {
  return (w0 * w0 * laser::pi) / (M2 * wavelength);
}

double optical_frequency(const double& wavelength) { return speed_of_light / wavelength; }

void fill_grids(const double& sample_width, const double& tau, const vec<double>& z_samples, const vec<double>& times) {
  global::linspace(0.0, sample_width, static_cast<std::int32_t>(z_samples.size()), z_samples);
  global::linspace(-(0.5 * tau), 0.5 * tau, static_cast<std::int32_t>(times.size()), times);
}

void fill_irradiance(const vec<double>& data_x, const vec<double>& times, const double* pulse_energy,
                     const double& tau, const double& w0, const double& z_r, const cube<double>& table) {
  const index n_x = table.extent(1), n_t = table.extent(2), n_d = table.extent(3);
  // The depth does not enter: the sample attenuates the beam slice by slice in the model.
  for (index k = 1; k <= n_d; ++k)
    for (index j = 1; j <= n_t; ++j)
      for (index i = 1; i <= n_x; ++i)
        table(i, j, k) = laser::irradiance(0.0, times(j), data_x((k - 1) * n_x + i), pulse_energy[k - 1], tau, w0, z_r);
}

index irradiance_table_size(std::int32_t num_x_pts, std::int32_t t_slices, std::int32_t num_datasets) {
  if (num_x_pts <= 0 || t_slices <= 0 || num_datasets <= 0) return 0;
  std::int64_t count;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(num_x_pts), static_cast<std::int64_t>(t_slices), &count) ||
      __builtin_mul_overflow(count, static_cast<std::int64_t>(num_datasets), &count) || count > (std::int64_t{1} << 61) - 1)
    throw_size_overflow();
  return count;
}

namespace {

// Both forward models in one: the shifted transmittance of the fit (solve_system), or the
// ratios it shifts.  Positions are independent of each other in the model, so a ratio does
// not depend on which other positions share the call.
std::vector<double> evaluate(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                             const std::vector<double>& populations, const double (&spec_pars)[8], const setup& s,
                             bool shifted, const char* name) {
  const index n_x = static_cast<index>(x_mm.size()), n_d = static_cast<index>(pulse_energy.size());
  if (s.t_slices < 2 || s.z_slices < 2 || n_x < 5 || n_x > INT32_MAX / (n_d > 0 ? n_d : 1))
    throw invalid_argument(std::string(name) + ": need at least 5 positions and 2 time and depth points, got " +
                           std::to_string(n_x) + ", " + std::to_string(s.t_slices) + " and " +
                           std::to_string(s.z_slices));
  buffer<double> z_samples(s.z_slices), times(s.t_slices);
  buffer<double> data_x(n_x * n_d);
  buffer<double> table(irradiance_table_size(static_cast<std::int32_t>(n_x), s.t_slices, static_cast<std::int32_t>(n_d)));
  for (index k = 0; k < n_d; ++k)
    for (index i = 0; i < n_x; ++i) data_x[k * n_x + i] = chem::metres(x_mm[i]);
  const double z_r = rayleigh_range(s.w0, s.M2, s.wavelength);
  const double frq = optical_frequency(s.wavelength);
  fill_grids(s.sample_width, s.tau, z_samples.view(), times.view());
  const cube<double> t(table.data(), n_x, s.t_slices, n_d);
  fill_irradiance(data_x.view(), times.view(), pulse_energy.data(), s.tau, s.w0, z_r, t);

  std::vector<double> out(static_cast<std::size_t>(n_x * n_d));
  kelp::parallel::caller_slot slot;  // this thread integrates: one slot of the thread budget
  const vec<const double> pop(populations.data(), static_cast<index>(populations.size()));
  for (index k = 1; k <= n_d; ++k) {
    const vec<double> curve(out.data() + (k - 1) * n_x, n_x);
    if (shifted)
      chem::solve_system(data_x.view().sub((k - 1) * n_x + 1, k * n_x), z_samples.view(), times.view(), pop,
                         t.plane(k), frq, spec_pars, curve);
    else
      chem::detail::transmittance_ratios(z_samples.view(), times.view(), pop, t.plane(k), frq, spec_pars, curve);
  }
  return out;
}

}  // namespace

std::vector<double> model_curves(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                 const std::vector<double>& populations, const double (&spec_pars)[8],
                                 const setup& s) {
  return evaluate(x_mm, pulse_energy, populations, spec_pars, s, true, "model_curves");
}

std::vector<double> transmittance_ratios(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                         const std::vector<double>& populations, const double (&spec_pars)[8],
                                         const setup& s) {
  return evaluate(x_mm, pulse_energy, populations, spec_pars, s, false, "transmittance_ratios");
}

}  // namespace kelp
