// The energy-weighted (open-aperture) Z-scan model: what a detector behind the sample that
// collects the whole beam measures, over the whole pulse, divided by the sample's linear
// transmittance.  The on-axis model of the fit (forward.hpp) stays as it is beside it.
//
// Beam: Gaussian, radius w(x) = w0 sqrt(1 + (x/z_R)^2), irradiance
// I(r, t) = I0(x) exp(-2 r^2 / w^2) exp(-(t/tau)^2) with the pulse energy E = int int I dA dt,
// so I0 = 2E / (pi w^2 tau sqrt(pi)) and the on-axis fluence of the whole pulse is 2E/(pi w^2).
// The energy of the beam is spread evenly over y = exp(-2 r^2 / w^2), the local fraction of
// the peak fluence, so the energy transmittance is the integral over y in [0, 1] of the
// fluence transmittance of the column at y: a Gauss-Legendre rule in y.
#pragma once

#include <cstdint>
#include <vector>

#include "chem/instantaneous.hpp"
#include "chem/open_aperture.hpp"
#include "kelp/api/model.hpp"
#include "kelp/forward.hpp"
#include "memory.hpp"

namespace chem {
struct column_field;
}

namespace kelp {

/// Peak irradiance I0 (W/cm^2) on the axis at position x (m) from the focus, for a pulse of
/// energy (J), 1/e half-duration tau (s), waist w0 (m) and Rayleigh range z_r (m).
double open_aperture_peak(const double& x, const double& energy, const double& tau, const double& w0,
                          const double& z_r);

// What every position of one evaluation shares, prepared once: radial rule, pulse samples,
// grid, coefficients, the linear transmittance.
class open_aperture_model {
 public:
  /// Throws kelp::invalid_argument for populations not of 5 values, fewer than 1 time sample
  /// or depth slice, radial nodes outside 1 .. max_radial_nodes, a time window that is not
  /// a positive number, an instantaneous absorption that is not finite and >= 0, or beta > 0
  /// with integrated steps.
  open_aperture_model(const std::vector<double>& populations, const double (&spec_pars)[8], const setup& s,
                      const open_aperture_options& o);

  /// Energy transmittance over linear transmittance at position x (m) for a pulse energy
  /// (J), on the calling thread.  work: work_size() doubles.
  double transmittance(const double& x, const double& energy, double* work) const;
  /// On-axis peak irradiance (W/cm^2) at position x (m) for a pulse energy (J): all that
  /// distinguishes one position's columns from another's.
  double peak(const double& x, const double& energy) const;
  /// Fluence transmittance of radial node (1 .. radial_nodes) for the on-axis peak
  /// irradiance peak (W/cm^2): one independent column.
  double column(index node, const double& peak, double* work) const;
  /// The same column (the same bits), recording its field per time sample too.
  double column(index node, const double& peak, double* work, const chem::column_field& field) const;
  /// The energy transmittance over linear transmittance from the columns of one position,
  /// columns[0 .. radial_nodes - 1] in node order, summed in that order.
  double combine(const double* columns) const;

  index work_size() const { return 5 * grid_.depth_slices; }
  /// exp(-a L) with a the attenuation of the initial populations plus the instantaneous
  /// alpha0, and L the sample width.
  double linear_transmittance() const { return linear_; }
  const vec<double> nodes() const { return nodes_.view(); }
  const vec<double> weights() const { return weights_.view(); }
  /// The pulse's shape at the time samples, exp(-(t/tau)^2).
  const vec<double> pulse() const { return pulse_.view(); }
  double rayleigh_range() const { return z_r_; }

 private:
  double column_of(index node, const double& peak, double* work, const chem::column_field* field) const;

  buffer<double> nodes_, weights_, pulse_;
  chem::column_grid grid_;
  chem::instantaneous_law law_;
  rate_steps steps_;
  double populations_[5], params_[8];
  double frq_, tau_, w0_, z_r_, linear_, weight_sum_;
};

// The positions of one evaluation, scan after scan, by their peak irradiance: `peaks` holds the
// values that differ bit for bit, in order of first appearance, and source[i] which of them
// position i has.  The peak is the only input that differs between two positions' columns, so
// equal bits give equal columns: two positions at the same distance from the focus, or a
// position repeated.
struct distinct_positions {
  std::vector<double> peaks;
  buffer<index> source;
};

/// The positions x_mm (mm) of one scan per pulse energy by their peaks, every position its own
/// unless reuse_open_aperture_positions is on (the default).  Throws kelp::invalid_argument
/// for more values than a 32-bit count.
distinct_positions position_peaks(const open_aperture_model& model, const std::vector<double>& x_mm,
                                  const std::vector<double>& pulse_energy);

/// Every column of one evaluation, (peak d, radial node r) as task d * radial_nodes + r, each
/// a task of its own spread over the call's threads (the radial nodes multiply the work, and a
/// scan has fewer positions than the threads want tasks to balance): their transmittances in
/// task order.  Given `fields`, each column also records its field there, column `task` at
/// transmittance and phase + task * n_t (the far field's input).
buffer<double> integrate_columns(const open_aperture_model& model, const std::vector<double>& peaks,
                                 const chem::column_field* fields = nullptr);

/// Columns integrated by open_aperture_curves since the process started: radial_nodes for
/// each distinct peak irradiance of each call.
KELP_API std::uint64_t open_aperture_columns() noexcept;

namespace testing {
/// Whether positions that repeat another's peak irradiance bit for bit are copied (the
/// default) instead of integrated again.
KELP_API void reuse_open_aperture_positions(bool on) noexcept;
}  // namespace testing

}  // namespace kelp
