#include "chem/propagation.hpp"

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>

#include "chem/objective.hpp"
#include "chem/rates.hpp"
#include "errors.hpp"
#include "memory.hpp"
#include "parallel/tasks.hpp"

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

// Sends the pulse of position ix through the sliced sample: transmitted(ix, it) is the
// intensity leaving the last slice at each time sample.  Uses the calling thread's
// coefficients and `pops` (5 x n_z) as the slices' populations.
void propagate_position(index ix, const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
                        const kelp::vec<const double>& initial_population, const kelp::mat<const double>& intensities,
                        const kelp::mat<double>& pops, const kelp::mat<double>& transmitted) {
  const index n_t = times.size(), n_z = z_samples.size();
  const double dt = times(2) - times(1);
  const double dz = z_samples(2);  // the grid starts at the entrance face
  double rwork[odepack::lrw];
  f_int iwork[odepack::liw];
  double rate_state[6], intensity_state[6];

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

std::atomic<bool> reuse_columns{true};
std::atomic<std::uint64_t> columns_integrated{0};

bool same_column(const kelp::mat<const double>& intensities, index a, index b) {
  for (index it = 1; it <= intensities.cols(); ++it)
    if (std::bit_cast<std::uint64_t>(intensities(a, it)) != std::bit_cast<std::uint64_t>(intensities(b, it)))
      return false;
  return true;
}

std::uint64_t column_hash(const kelp::mat<const double>& intensities, index ix) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the bit patterns
  for (index it = 1; it <= intensities.cols(); ++it) h = (h ^ std::bit_cast<std::uint64_t>(intensities(ix, it))) * 1099511628211ull;
  return h;
}

// The positions whose irradiance columns differ bit for bit, in position order, into
// `distinct`, and for every position the one of them it repeats, into `source`.  Two positions
// at the same distance from the focus see the same column, and so integrate to the same bits.
index distinct_columns(const kelp::mat<const double>& intensities, const kelp::vec<index>& distinct,
                       const kelp::vec<index>& source) {
  const index n_x = intensities.rows();
  if (!reuse_columns.load(std::memory_order_relaxed)) {
    for (index ix = 1; ix <= n_x; ++ix) distinct(ix) = source(ix) = ix;
    return n_x;
  }
  index slots = 1;
  while (slots < 2 * n_x) slots *= 2;
  kelp::buffer<index> table(slots);  // open addressing: 0 empty, else a position of `distinct`
  for (index k = 0; k < slots; ++k) table[k] = 0;
  index count = 0;
  for (index ix = 1; ix <= n_x; ++ix) {
    index k = static_cast<index>(column_hash(intensities, ix) & static_cast<std::uint64_t>(slots - 1));
    for (;; k = (k + 1) & (slots - 1)) {
      if (table[k] == 0) {
        distinct(++count) = ix;
        table[k] = ix;
        source(ix) = ix;
        break;
      }
      if (same_column(intensities, table[k], ix)) {
        source(ix) = table[k];
        break;
      }
    }
  }
  return count;
}

// Sends the pulse of every position through the sliced sample, each distinct irradiance
// column once and the distinct ones spread over the call's threads; sout(ix) sums the
// intensity leaving the last slice over the time samples, sin(ix) the incident intensity.
void propagate(const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
               const kelp::vec<const double>& initial_population, const kelp::mat<const double>& intensities,
               const double& frq, const double* params, double* work, const kelp::vec<double>& sout,
               const kelp::vec<double>& sin) {
  const index n_x = intensities.rows(), n_t = times.size(), n_z = z_samples.size();
  set_coefficients(frq, params);
  const kelp::mat<double> transmitted(work, n_x, n_t, n_x);
  kelp::buffer<index> columns(2 * n_x);
  const kelp::vec<index> distinct(columns.data(), n_x), source(columns.data() + n_x, n_x);
  const index count = distinct_columns(intensities, distinct, source);
  columns_integrated.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_relaxed);

  kelp::parallel::for_each_task(count, [&](std::int64_t task) {
    // Each thread integrates with coefficients of its own, and slice populations of its own.
    set_coefficients(frq, params);
    kelp::buffer<double> populations(5 * n_z);
    propagate_position(distinct(task + 1), z_samples, times, initial_population, intensities,
                       kelp::mat<double>(populations.data(), 5, n_z, 5), transmitted);
  });
  for (index ix = 1; ix <= n_x; ++ix)
    if (source(ix) != ix)
      for (index it = 1; it <= n_t; ++it) transmitted(ix, it) = transmitted(source(ix), it);

  // Plain sums in time order: the time step cancels in the ratio.
  for (index ix = 1; ix <= n_x; ++ix) {
    double so = 0.0, si = 0.0;
    for (index it = 1; it <= n_t; ++it) so += transmitted(ix, it);
    for (index it = 1; it <= intensities.cols(); ++it) si += intensities(ix, it);
    sout(ix) = so;
    sin(ix) = si;
  }
}

// Storage of one evaluation, taken in one block: transmitted table, and Sout, Sin and Q.
kelp::buffer<double> evaluation_storage(index n_x, index n_t) { return kelp::buffer<double>(n_x * n_t + 3 * n_x); }

}  // namespace

void solve_system(const kelp::vec<const double>& positions, const kelp::vec<const double>& z_samples,
                  const kelp::vec<const double>& times, const kelp::vec<const double>& initial_population,
                  const kelp::mat<const double>& intensities, const double& frq, const double* params,
                  const kelp::vec<double>& result) {
  const index n_x = positions.size(), n_t = times.size();
  check_limits(n_x, z_samples, times, initial_population, intensities);
  require(result.size() >= n_x, "length of the result", "at least " + std::to_string(n_x), result.size());
  kelp::buffer<double> storage = evaluation_storage(n_x, n_t);
  odepack::session integrator;
  double* tail = storage.data() + n_x * n_t;
  const kelp::vec<double> sout(tail, n_x), sin(tail + n_x, n_x), q(tail + 2 * n_x, n_x);
  propagate(z_samples, times, initial_population, intensities, frq, params, storage.data(), sout, sin);
  if (n_x == 0) return;
  for (index ix = 1; ix <= n_x; ++ix) q(ix) = sout(ix) / sin(ix);
  // Wing level: the first five and the last five ratios (they overlap for n_x < 10).
  const double b = wing_level(q);
  for (index ix = 1; ix <= n_x; ++ix) result(ix) = sout(ix) / sin(ix) + (1 - b);
}

void detail::transmittance_ratios(const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
                                  const kelp::vec<const double>& initial_population,
                                  const kelp::mat<const double>& intensities, const double& frq,
                                  const double* params, const kelp::vec<double>& ratios) {
  const index n_x = intensities.rows();
  check_limits(n_x, z_samples, times, initial_population, intensities);
  kelp::buffer<double> storage = evaluation_storage(n_x, times.size());
  odepack::session integrator;
  double* tail = storage.data() + n_x * times.size();
  const kelp::vec<double> sout(tail, n_x), sin(tail + n_x, n_x);
  propagate(z_samples, times, initial_population, intensities, frq, params, storage.data(), sout, sin);
  for (index ix = 1; ix <= n_x; ++ix) ratios(ix) = sout(ix) / sin(ix);
}

std::uint64_t integrated_positions() noexcept { return columns_integrated.load(); }

void testing::reuse_mirrored_positions(bool on) noexcept { reuse_columns.store(on); }

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
