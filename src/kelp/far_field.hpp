// The closed aperture of the resolved model: the field leaving the sample, carried to an
// aperture in the far field, and the energy through it over the whole pulse.
//
// In the scaled radius u = r/w(z), at x = z/z_R (z increasing towards the detector), the
// field leaving the sample at one time sample is
//   E(u) = sqrt(I_out(u)) exp(-i (phi(u) + x u^2)),
// the incident Gaussian's amplitude exp(-u^2) times the column's amplitude transmittance,
// its nonlinear phase phi and the incident beam's wavefront curvature (-x u^2; a positive
// phi, a longer optical path on the axis, then focuses: with the curvature it gives the valley
// before the focus).  The far field at the angle theta, in units of the linear beam's
// divergence theta_0 = w0/z_R (rho = theta/theta_0), is the Hankel transform of order 0
//   A(rho) = int_0^inf E(u) J0(2 sqrt(1 + x^2) u rho) u du,
// which for the linear beam is exp(-(1 - i x) rho^2) / (2 (1 + i x)): the same far field
// exp(-2 rho^2) at every position.  An aperture of linear transmittance S is the disc
// rho^2 <= rho_a^2 = -ln(1 - S)/2, and the energy through it int_0^rho_a |A|^2 rho drho.
//
// The columns are computed at the radial rule's nodes y = exp(-2 u^2) of the open aperture;
// their transmittance and phase at each time sample are interpolated in y (the polynomial
// through the nodes, in barycentric form) onto a rule in u that resolves the transform.  The
// value at y = 0, the wings' linear transmission, is taken out as the linear beam, whose
// transform is exact; what remains falls as exp(-3 u^2), so Gauss-Legendre in u over
// [0, 3] takes it, with more nodes further from the focus where the curvature exp(-i x u^2)
// turns faster (radial_points).  The energy through the aperture is Gauss-Legendre in rho^2.
#pragma once

#include "api.hpp"
#include "memory.hpp"
#include "view.hpp"

namespace kelp {

/// The Bessel function J0(z), to about 1e-11: its power series up to |z| = 14, Hankel's
/// asymptotic expansion beyond (std::cyl_bessel_j takes microseconds).
KELP_API double bessel_j0(const double& z);

class far_field {
 public:
  static constexpr index aperture_nodes = 16;  // Gauss-Legendre in rho^2 across the aperture
  static constexpr double radius = 3.0;        // the u range of what the linear beam leaves

  /// column_nodes: the nodes in y of the columns, as the radial rule has them; aperture: the
  /// aperture's linear transmittance S.  Throws kelp::invalid_argument unless 0 < S < 1.
  far_field(const vec<const double>& column_nodes, const double& aperture);

  /// Gauss-Legendre nodes in u at x = z/z_R: 16 + 4|x| rounded up to a multiple of 8, from
  /// 32 (|x| <= 4) to 512 (docs/models.md has the convergence).
  static index radial_points(const double& x);

  /// The energy through the aperture over the whole pulse, over that of the linear beam with
  /// the linear transmittance `linear`, at x = z/z_R.  transmittance and phase hold column c's
  /// time sample k at [c n_t + k] (columns in node order, n_t = pulse.size()); pulse: the
  /// pulse's shape at the time samples, the weight of each.  A sample whose columns all
  /// transmit 1 with no phase gives the linear beam's energy to the bit.
  double transmittance(const double& x, const double* transmittance, const double* phase,
                       const vec<const double>& pulse, const double& linear) const;
  /// The same with `points` nodes in u instead of radial_points(x): the convergence checks.
  double transmittance(const double& x, const double* transmittance, const double* phase,
                       const vec<const double>& pulse, const double& linear, index points) const;

 private:
  buffer<double> nodes_, barycentric_;  // the columns' y and their barycentric weights
  buffer<double> rho2_, rho_weights_;   // the aperture's rule in rho^2
};

}  // namespace kelp
