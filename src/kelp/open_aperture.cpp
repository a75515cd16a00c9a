#include "kelp/open_aperture.hpp"

#include <climits>
#include <cmath>
#include <string>

#include "chem/rates.hpp"
#include "errors.hpp"
#include "gauss_legendre.hpp"
#include "laser.hpp"
#include "odepack.hpp"

namespace kelp {

namespace {

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
  z_r_ = rayleigh_range(s.w0, s.M2, s.wavelength);
  chem::set_coefficients(frq_, params_);
  linear_ = std::exp(-(chem::attenuation(populations_) * s.sample_width));
}

double open_aperture_model::column(index node, const double& peak, double* work) const {
  return chem::column_transmittance(peak * nodes_[node - 1], pulse_.view(), grid_,
                                    vec<const double>(populations_, 5), frq_, params_, work);
}

double open_aperture_model::transmittance(const double& x, const double& energy, double* work) const {
  const double peak = open_aperture_peak(x, energy, tau_, w0_, z_r_);
  double sum = 0.0;  // radial nodes in order: the same bits on every thread count
  for (index r = 1; r <= nodes_.size(); ++r) sum += weights_[r - 1] * column(r, peak, work);
  return (sum / weight_sum_) / linear_;
}

std::vector<double> open_aperture_curves(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                         const std::vector<double>& populations, const double (&spec_pars)[8],
                                         const setup& s, const open_aperture_options& o) {
  const index n_x = static_cast<index>(x_mm.size()), n_d = static_cast<index>(pulse_energy.size());
  if (n_d > 0 && n_x > INT32_MAX / n_d)
    throw invalid_argument("open-aperture model: " + std::to_string(n_x) + " positions x " + std::to_string(n_d) +
                           " scans: more than 2147483647 values");
  const open_aperture_model model(populations, spec_pars, s, o);
  buffer<double> work(model.work_size());
  odepack::session integrator;  // one for every column of the call
  std::vector<double> out(static_cast<std::size_t>(n_x * n_d));
  for (index k = 0; k < n_d; ++k)
    for (index i = 0; i < n_x; ++i)
      out[static_cast<std::size_t>(k * n_x + i)] =
          model.transmittance(x_mm[static_cast<std::size_t>(i)] / 1000.0, pulse_energy[static_cast<std::size_t>(k)],
                              work.data());
  return out;
}

}  // namespace kelp
