#include "chem/rates.hpp"

namespace chem {

thread_local double pre_inv_hfrq = 0;
thread_local double pre_k1 = 0, pre_k2 = 0, pre_k3 = 0;
thread_local double pre_inv_tau4 = 0, pre_inv_tau5 = 0, pre_inv_tau6 = 0, pre_inv_tau7 = 0, pre_inv_tau8 = 0;

void set_coefficients(const double& frq, const double* params) {
  pre_inv_hfrq = 1.0 / (planck * frq);
  pre_k1 = params[0];
  pre_k2 = params[1];
  pre_k3 = params[2];
  pre_inv_tau4 = 1.0 / params[3];
  pre_inv_tau5 = 1.0 / params[4];
  pre_inv_tau6 = 1.0 / params[5];
  pre_inv_tau7 = 1.0 / params[6];
  pre_inv_tau8 = 1.0 / params[7];
}

// The sums below keep their left-to-right order: the fit follows the model closely enough
// that a reordered sum changes its path.
void rhs_rates(const odepack::f_int*, const double*, const double* y, double* ydot) {
  const double n1 = y[0], n2 = y[1], n3 = y[2], n4 = y[3], n5 = y[4];
  const double f = y[5] * pre_inv_hfrq;
  const double a1 = (pre_k1 * n1) * f;
  const double a2 = (pre_k2 * n2) * f;
  const double a3 = f * (pre_k3 * n4);
  const double r4 = n2 * pre_inv_tau4;
  const double r5 = n2 * pre_inv_tau5;
  const double r6 = n3 * pre_inv_tau6;
  const double r7 = n4 * pre_inv_tau7;
  const double r8 = n5 * pre_inv_tau8;
  ydot[0] = r4 - a1 + r7;
  ydot[1] = a1 - r4 - a2 + r6 - r5;
  ydot[2] = a2 - r6;
  ydot[3] = r5 + (r8 - a3) - r7;
  ydot[4] = a3 - r8;
}

void rhs_intensity(const odepack::f_int*, const double*, const double* y, double* ydot) {
  const double alpha = ((pre_k1 * y[1]) + (pre_k2 * y[2])) + (pre_k3 * y[4]);
  ydot[0] = -(alpha * y[0]);
}

void jdum(const odepack::f_int*, const double*, const double*, const odepack::f_int*, const odepack::f_int*,
          double*, const odepack::f_int*) {}

}  // namespace chem
