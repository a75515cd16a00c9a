#include "kelp/open_aperture.hpp"

#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <string>
#include <unordered_map>

#include "chem/exact_steps.hpp"
#include "chem/objective.hpp"
#include "chem/rates.hpp"
#include "chem/resolved_column.hpp"
#include "errors.hpp"
#include "gauss_legendre.hpp"
#include "laser.hpp"
#include "odepack.hpp"
#include "parallel/budget.hpp"
#include "parallel/tasks.hpp"

namespace kelp {

namespace {

std::atomic<bool> reuse_positions{true};
std::atomic<std::uint64_t> columns_integrated{0};

void require_count(std::int64_t value, const char* what) {
  if (value < 1) throw invalid_argument(std::string("open-aperture model: ") + what + ": expected at least 1, got " +
                                        std::to_string(value));
}

}  // namespace

double open_aperture_peak(const double& x, const double& energy, const double& tau, const double& w0,
                          const double& z_r) {
  const double xr = x / z_r;
  const double w2 = (xr * xr + 1.0) * (w0 * w0) * 1e4;  // cm^2
  return 2.0 * energy / (laser::pi * w2 * tau * std::sqrt(laser::pi));
}

open_aperture_model::open_aperture_model(const std::vector<double>& populations, const double (&spec_pars)[8],
                                         const setup& s, const open_aperture_options& o) {
  if (populations.size() != 5)
    throw invalid_argument("open-aperture model: populations: expected 5 values, got " +
                           std::to_string(populations.size()));
  require_count(s.t_slices, "t_slices");
  require_count(s.z_slices, "z_slices");
  require_count(o.radial_nodes, "radial_nodes");
  if (o.radial_nodes > open_aperture_options::max_radial_nodes)
    throw invalid_argument("open-aperture model: radial_nodes: expected at most " +
                           std::to_string(open_aperture_options::max_radial_nodes) + ", got " +
                           std::to_string(o.radial_nodes));
  if (!(o.time_window > 0) || !std::isfinite(o.time_window))
    throw invalid_argument("open-aperture model: time_window: expected a positive number of tau, got " +
                           std::to_string(o.time_window));
  if (o.steps != rate_steps::exact && o.steps != rate_steps::integrated)
    throw invalid_argument("open-aperture model: steps: expected exact or integrated");
  law_ = chem::instantaneous_law(o.instantaneous);
  steps_ = o.steps;
  if (steps_ == rate_steps::integrated && law_.two_photon())
    throw invalid_argument("open-aperture model: beta: two-photon pumping needs the exact steps");
  for (int l = 0; l < 5; ++l) populations_[l] = populations[static_cast<std::size_t>(l)];
  for (int l = 0; l < 8; ++l) params_[l] = spec_pars[l];
  nodes_ = buffer<double>(o.radial_nodes);
  weights_ = buffer<double>(o.radial_nodes);
  quadrature::gauss_legendre(nodes_.view(), weights_.view());
  // The rule's own weight sum (1 up to rounding) divides the radial sum, so that a sample
  // transmitting every column alike, a transparent one above all, gives exactly that value.
  weight_sum_ = 0.0;
  for (index r = 0; r < o.radial_nodes; ++r) weight_sum_ += weights_[r];

  // Midpoints of t_slices equal intervals across the window; the pulse's shape only, the
  // column scales it by its peak.
  const index n_t = s.t_slices;
  pulse_ = buffer<double>(n_t);
  const double start = -(o.time_window * s.tau), span = 2.0 * o.time_window * s.tau;
  grid_.dt = span / static_cast<double>(n_t);
  for (index k = 0; k < n_t; ++k) {
    const double t = start + (static_cast<double>(k) + 0.5) * grid_.dt;
    const double tt = t / s.tau;
    pulse_[k] = std::exp(-(tt * tt));
  }
  grid_.depth_slices = s.z_slices;
  grid_.dz = s.sample_width / static_cast<double>(s.z_slices);

  frq_ = optical_frequency(s.wavelength);
  tau_ = s.tau;
  w0_ = s.w0;
  z_r_ = kelp::rayleigh_range(s.w0, s.M2, s.wavelength);
  chem::set_coefficients(frq_, params_);
  linear_ = std::exp(-((chem::attenuation(populations_) + law_.alpha0()) * s.sample_width));
}

double open_aperture_model::peak(const double& x, const double& energy) const {
  return open_aperture_peak(x, energy, tau_, w0_, z_r_);
}

double open_aperture_model::column(index node, const double& peak, double* work) const {
  return column_of(node, peak, work, nullptr);
}

double open_aperture_model::column(index node, const double& peak, double* work,
                                   const chem::column_field& field) const {
  return column_of(node, peak, work, &field);
}

double open_aperture_model::column_of(index node, const double& peak, double* work,
                                      const chem::column_field* field) const {
  const double p = peak * nodes_[node - 1];
  const vec<const double> populations(populations_, 5);
  if (steps_ == rate_steps::integrated) {
    odepack::session integrator;
    chem::integrated_rates steps(grid_.dt);
    return chem::resolved_column(p, pulse_.view(), grid_, populations, frq_, params_, law_, steps, work, field);
  }
  chem::exact_rates steps(frq_, params_, grid_.dt, law_.pump(1.0 / (chem::planck * frq_)));
  return chem::resolved_column(p, pulse_.view(), grid_, populations, frq_, params_, law_, steps, work, field);
}

double open_aperture_model::combine(const double* columns) const {
  double sum = 0.0;  // radial nodes in order: the same bits on every thread count
  for (index r = 1; r <= nodes_.size(); ++r) sum += weights_[r - 1] * columns[r - 1];
  return (sum / weight_sum_) / linear_;
}

double open_aperture_model::transmittance(const double& x, const double& energy, double* work) const {
  const double p = peak(x, energy);
  buffer<double> columns(nodes_.size());
  for (index r = 1; r <= nodes_.size(); ++r) columns[r - 1] = column(r, p, work);
  return combine(columns.data());
}

distinct_positions position_peaks(const open_aperture_model& model, const std::vector<double>& x_mm,
                                  const std::vector<double>& pulse_energy) {
  const index n_x = static_cast<index>(x_mm.size()), n_d = static_cast<index>(pulse_energy.size());
  if (n_d > 0 && n_x > INT32_MAX / n_d)
    throw invalid_argument("open-aperture model: " + std::to_string(n_x) + " positions x " + std::to_string(n_d) +
                           " scans: more than 2147483647 values");
  const bool reuse = reuse_positions.load(std::memory_order_relaxed);
  distinct_positions out{{}, buffer<index>(n_x * n_d)};
  std::unordered_map<std::uint64_t, index> seen;
  for (index k = 0; k < n_d; ++k)
    for (index i = 0; i < n_x; ++i) {
      const double peak =
          model.peak(chem::metres(x_mm[static_cast<std::size_t>(i)]), pulse_energy[static_cast<std::size_t>(k)]);
      const std::uint64_t bits = std::bit_cast<std::uint64_t>(peak);
      const auto found = reuse ? seen.find(bits) : seen.end();
      if (found != seen.end()) {
        out.source[k * n_x + i] = found->second;
        continue;
      }
      out.source[k * n_x + i] = static_cast<index>(out.peaks.size());
      if (reuse) seen.emplace(bits, out.source[k * n_x + i]);
      out.peaks.push_back(peak);
    }
  return out;
}

std::vector<double> open_aperture_curves(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                         const std::vector<double>& populations, const double (&spec_pars)[8],
                                         const setup& s, const open_aperture_options& o) {
  const open_aperture_model model(populations, spec_pars, s, o);
  const distinct_positions positions = position_peaks(model, x_mm, pulse_energy);
  const std::vector<double>& distinct = positions.peaks;
  const index n = positions.source.size(), nodes = o.radial_nodes;
  const index count = static_cast<index>(distinct.size());
  columns_integrated.fetch_add(static_cast<std::uint64_t>(count * nodes), std::memory_order_relaxed);
  const buffer<double> table = integrate_columns(model, distinct);
  std::vector<double> out(static_cast<std::size_t>(n));
  for (index i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = model.combine(table.data() + positions.source[i] * nodes);
  return out;
}

buffer<double> integrate_columns(const open_aperture_model& model, const std::vector<double>& peaks,
                                 const chem::column_field* fields) {
  const index nodes = model.nodes().size(), n_t = model.pulse().size();
  kelp::parallel::caller_slot slot;  // this thread integrates: one slot of the thread budget
  odepack::session integrator;       // the calling thread's, for every column it takes
  buffer<double> table(static_cast<index>(peaks.size()) * nodes);
  kelp::parallel::for_each_task(table.size(), [&](std::int64_t task) {
    // A column sets this thread's coefficients; the slices' populations are the task's own.
    buffer<double> work(model.work_size());
    const index d = static_cast<index>(task) / nodes, r = static_cast<index>(task) % nodes;
    const double peak = peaks[static_cast<std::size_t>(d)];
    if (!fields) {
      table[task] = model.column(r + 1, peak, work.data());
      return;
    }
    const chem::column_field field{fields->refraction, fields->transmittance + task * n_t, fields->phase + task * n_t};
    table[task] = model.column(r + 1, peak, work.data(), field);
  });
  return table;
}

std::uint64_t open_aperture_columns() noexcept { return columns_integrated.load(); }

void testing::reuse_open_aperture_positions(bool on) noexcept { reuse_positions.store(on); }

}  // namespace kelp
