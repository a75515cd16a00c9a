#include "chem/propagation.hpp"

#include <string>

#include "chem/rates.hpp"
#include "errors.hpp"
#include "memory.hpp"

namespace chem {

namespace {

using odepack::f_int;
using kelp::index;

// Integrator settings shared by both steps: scalar tolerances, output at TOUT, no optional
// inputs (at most 500 steps per call), Jacobian generated internally by differences.
constexpr f_int itol = 1, itask = 1, iopt = 0, jt = 2;
constexpr double rtol = 1.0e-6, atol = 1.0e-6;
constexpr f_int neq_rates = 5, neq_intensity = 1;

// A fresh start (ISTATE = 1) from T = 0 every time: no integrator history links one slice or
// time sample to the next, so one pair of work arrays serves both systems alternately.
inline void integrate(odepack::rhs_fn f, const f_int& neq, double* y, const double& t_start, const double& tout,
                      double* rwork, f_int* iwork) {
  double t = t_start;
  f_int istate = 1;
  odepack::dlsoda(f, &neq, y, &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt, rwork, &odepack::lrw,
                  iwork, &odepack::liw, jdum, &jt);
  // ISTATE is not examined: after an early stop y holds the farthest solution reached, and the
  // integrator has reported it through its own message routine.
}

void require(bool ok, const char* what, const std::string& expected, index given) {
  if (!ok) throw kelp::invalid_argument(std::string(what) + ": expected " + expected + ", got " + std::to_string(given));
}

void check_limits(index n_x, const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
                  const kelp::vec<const double>& initial_population, const kelp::mat<const double>& intensities) {
  // The wing level reads the first and last five ratios; the steps read the second grid values.
  require(n_x == 0 || n_x >= 5, "number of positions", "0 or at least 5", n_x);
  require(times.size() >= 2, "number of time samples", "at least 2", times.size());
  require(z_samples.size() >= 2, "number of depth samples", "at least 2", z_samples.size());
  require(initial_population.size() == 5, "number of initial populations", "5", initial_population.size());
  require(intensities.rows() == n_x, "rows of the intensity plane", std::to_string(n_x), intensities.rows());
  require(intensities.cols() == times.size(), "columns of the intensity plane", std::to_string(times.size()),
          intensities.cols());
}

// Sends the pulse of every position through the sliced sample: sout(ix) sums the intensity
// leaving the last slice over the time samples, sin(ix) the incident intensity.
void propagate(const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
               const kelp::vec<const double>& initial_population, const kelp::mat<const double>& intensities,
               const double& frq, const double* params, double* work, const kelp::vec<double>& sout,
               const kelp::vec<double>& sin) {
  const index n_x = intensities.rows(), n_t = times.size(), n_z = z_samples.size();
  set_coefficients(frq, params);
  const double dt = times(2) - times(1);
  const double dz = z_samples(2);  // the grid starts at the entrance face

  const kelp::mat<double> pops(work, 5, n_z, 5);               // five populations per slice
  const kelp::mat<double> transmitted(work + 5 * n_z, n_x, n_t, n_x);
  double rwork[odepack::lrw];
  f_int iwork[odepack::liw];
  double rate_state[6], intensity_state[6];

  for (index ix = 1; ix <= n_x; ++ix) {
    for (index iz = 1; iz <= n_z; ++iz)
      for (index l = 1; l <= 5; ++l) pops(l, iz) = initial_population(l);
    for (index it = 1; it <= n_t; ++it) {
      double intensity = intensities(ix, it);
      for (index iz = 1; iz <= n_z; ++iz) {
        // Populations first, driven for a full step dt by this sample's intensity...
        for (index l = 0; l < 5; ++l) rate_state[l] = pops(l + 1, iz);
        rate_state[5] = intensity;
        integrate(rhs_rates, neq_rates, rate_state, 0.0, dt, rwork, iwork);
        for (index l = 0; l < 5; ++l) pops(l + 1, iz) = rate_state[l];
        // ...then the slice attenuates it with the updated populations held fixed.
        intensity_state[0] = intensity;
        for (index l = 0; l < 5; ++l) intensity_state[l + 1] = rate_state[l];
        integrate(rhs_intensity, neq_intensity, intensity_state, 0.0, dz, rwork, iwork);
        intensity = intensity_state[0];
      }
      transmitted(ix, it) = intensity;
    }
  }
  // Plain sums in time order: the time step cancels in the ratio.
  for (index ix = 1; ix <= n_x; ++ix) {
    double so = 0.0, si = 0.0;
    for (index it = 1; it <= n_t; ++it) so += transmitted(ix, it);
    for (index it = 1; it <= intensities.cols(); ++it) si += intensities(ix, it);
    sout(ix) = so;
    sin(ix) = si;
  }
}

// Storage of one evaluation, taken in one block: slice populations, transmitted table, and
// Sout, Sin and Q.
kelp::buffer<double> evaluation_storage(index n_x, index n_t, index n_z) {
  return kelp::buffer<double>(5 * n_z + n_x * n_t + 3 * n_x);
}

}  // namespace

void solve_system(const kelp::vec<const double>& positions, const kelp::vec<const double>& z_samples,
                  const kelp::vec<const double>& times, const kelp::vec<const double>& initial_population,
                  const kelp::mat<const double>& intensities, const double& frq, const double* params,
                  const kelp::vec<double>& result) {
  const index n_x = positions.size(), n_t = times.size(), n_z = z_samples.size();
  check_limits(n_x, z_samples, times, initial_population, intensities);
  require(result.size() >= n_x, "length of the result", "at least " + std::to_string(n_x), result.size());
  kelp::buffer<double> storage = evaluation_storage(n_x, n_t, n_z);
  odepack::session integrator;
  double* tail = storage.data() + 5 * n_z + n_x * n_t;
  const kelp::vec<double> sout(tail, n_x), sin(tail + n_x, n_x), q(tail + 2 * n_x, n_x);
  propagate(z_samples, times, initial_population, intensities, frq, params, storage.data(), sout, sin);
  if (n_x == 0) return;
  for (index ix = 1; ix <= n_x; ++ix) q(ix) = sout(ix) / sin(ix);
  // Wing level: the first five and the last five ratios (they overlap for n_x < 10).
  const double b = (q(1) + q(2) + q(3) + q(4) + q(5) + q(n_x - 4) + q(n_x - 3) + q(n_x - 2) + q(n_x - 1) + q(n_x)) / 10;
  for (index ix = 1; ix <= n_x; ++ix) result(ix) = sout(ix) / sin(ix) + (1 - b);
}

void detail::transmittance_ratios(const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
                                  const kelp::vec<const double>& initial_population,
                                  const kelp::mat<const double>& intensities, const double& frq,
                                  const double* params, const kelp::vec<double>& ratios) {
  const index n_x = intensities.rows();
  check_limits(n_x, z_samples, times, initial_population, intensities);
  kelp::buffer<double> storage = evaluation_storage(n_x, times.size(), z_samples.size());
  odepack::session integrator;
  double* tail = storage.data() + 5 * z_samples.size() + n_x * times.size();
  const kelp::vec<double> sout(tail, n_x), sin(tail + n_x, n_x);
  propagate(z_samples, times, initial_population, intensities, frq, params, storage.data(), sout, sin);
  for (index ix = 1; ix <= n_x; ++ix) ratios(ix) = sout(ix) / sin(ix);
}

void solve_rates(const double* y_in, const double& t, const double& tout, double* rwork, f_int* iwork,
                 double* y_out) {
  for (int l = 0; l < 6; ++l) y_out[l] = y_in[l];
  odepack::session integrator;
  integrate(rhs_rates, neq_rates, y_out, t, tout, rwork, iwork);
}

void solve_intensity(const double* y_in, const double& t, const double& tout, double* rwork, f_int* iwork,
                     double* y_out) {
  for (int l = 0; l < 6; ++l) y_out[l] = y_in[l];
  odepack::session integrator;
  integrate(rhs_intensity, neq_intensity, y_out, t, tout, rwork, iwork);
}

}  // namespace chem
