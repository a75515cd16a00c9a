// Rate steps of the resolved model: the five populations of one slice advanced over one time
// interval at the intensity of its midpoint, held fixed.  At fixed intensity the rate
// equations (rates.hpp) are linear with constant coefficients, dN/dt = A N + s, where the
// constant source s is the two-photon pumping from level 1 into level 2.  So one interval is
// exactly N(t + dt) = exp(A dt) N(t) + int_0^dt exp(A u) du s: the exponential of the
// augmented matrix [[A, s], [0, 0]] dt applied to (N, 1).
#pragma once

#include "odepack.hpp"

namespace chem {

// One way to advance a slice's populations over an interval.
class rate_steps {
 public:
  virtual ~rate_steps() = default;
  /// out[0 .. 4] := the populations n[0 .. 4] after one interval at `intensity` (W/cm^2).
  virtual void advance(const double* n, const double& intensity, double* out) = 0;
};

// The exact step: the matrix exponential, no integrator call (so no integrator message).
class exact_rates final : public rate_steps {
 public:
  /// Rate constants from the optical frequency (Hz) and the eight parameters, as
  /// set_coefficients takes them; dt (s) the interval; pump the two-photon pumping coefficient
  /// (instantaneous_law::pump): pump I^2 per second moves from level 1 to level 2.
  exact_rates(const double& frq, const double* params, const double& dt, const double& pump);
  void advance(const double* n, const double& intensity, double* out) override;

 private:
  double relax_[5][5];  // the relaxation part of A dt
  double absorb_[3];    // k1 dt, k2 dt, k3 dt per photon flux
  double inv_hfrq_, pump_dt_;
};

// DLSODA from t = 0 to dt with the model's settings (solve_rates): the on-axis
// model's integrator, kept for comparison.  It carries no two-photon pumping; the caller
// refuses pumping with these steps.  Uses the coefficients set_coefficients left on the thread.
class integrated_rates final : public rate_steps {
 public:
  explicit integrated_rates(const double& dt) : dt_(dt) {}
  void advance(const double* n, const double& intensity, double* out) override;

 private:
  double dt_;
  double rwork_[odepack::lrw];
  odepack::f_int iwork_[odepack::liw];
};

}  // namespace chem
