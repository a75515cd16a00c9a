#include "chem/exact_steps.hpp"

#include <Eigen/Core>
#include <unsupported/Eigen/MatrixFunctions>

#include "chem/propagation.hpp"
#include "chem/rates.hpp"

namespace chem {

exact_rates::exact_rates(const double& frq, const double* params, const double& dt, const double& pump) {
  // The same rate constants as the integrated right-hand side, times the interval.
  inv_hfrq_ = 1.0 / (planck * frq);
  const double r4 = dt / params[3], r5 = dt / params[4], r6 = dt / params[5], r7 = dt / params[6],
               r8 = dt / params[7];
  for (auto& row : relax_)
    for (double& v : row) v = 0;
  // relax_[to][from], levels 1 .. 5 at 0 .. 4: every column sums to 0, as the total
  // population is conserved.
  relax_[0][1] = r4;
  relax_[3][1] = r5;
  relax_[1][1] = -(r4 + r5);
  relax_[1][2] = r6;
  relax_[2][2] = -r6;
  relax_[0][3] = r7;
  relax_[3][3] = -r7;
  relax_[3][4] = r8;
  relax_[4][4] = -r8;
  absorb_[0] = params[0] * dt;
  absorb_[1] = params[1] * dt;
  absorb_[2] = params[2] * dt;
  pump_dt_ = pump * dt;
}

namespace {

// exp(m) applied to (n, source) for the K x K matrix m; with K = 6 the sixth state is the
// source.  The source's column in m is of order 1 and the source itself is the population it
// moves in one interval: scaled into the column, populations of order 1e20 would dominate the
// norm that sets the exponential's scaling and squaring, and swamp the rate matrix.
template <int K>
void propagate(const double (&m_in)[6][6], const double* n, const double& source, double* out) {
  Eigen::Matrix<double, K, K> m;
  for (int i = 0; i < K; ++i)
    for (int j = 0; j < K; ++j) m(i, j) = m_in[i][j];
  const Eigen::Matrix<double, K, K> e = m.exp();
  for (int i = 0; i < 5; ++i) {
    double sum = K == 6 ? e(i, K - 1) * source : 0.0;
    for (int j = 0; j < 5; ++j) sum += e(i, j) * n[j];
    out[i] = sum;
  }
}

}  // namespace

void exact_rates::advance(const double* n, const double& intensity, double* out) {
  const double f = intensity * inv_hfrq_;
  const double a1 = absorb_[0] * f, a2 = absorb_[1] * f, a3 = absorb_[2] * f;
  double m[6][6] = {};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) m[i][j] = relax_[i][j];
  m[1][0] += a1;
  m[0][0] -= a1;
  m[2][1] += a2;
  m[1][1] -= a2;
  m[4][3] += a3;
  m[3][3] -= a3;
  if (pump_dt_ == 0) return propagate<5>(m, n, 0.0, out);
  // The pumping is a sixth state, constant: pump_dt I^2 moves from level 1 to level 2 per
  // interval.
  m[0][5] = -1.0;
  m[1][5] = 1.0;
  propagate<6>(m, n, pump_dt_ * (intensity * intensity), out);
}

void integrated_rates::advance(const double* n, const double& intensity, double* out) {
  double state[6], advanced[6];
  for (int l = 0; l < 5; ++l) state[l] = n[l];
  state[5] = intensity;
  solve_rates(state, 0.0, dt_, rwork_, iwork_, advanced);
  for (int l = 0; l < 5; ++l) out[l] = advanced[l];
}

}  // namespace chem
