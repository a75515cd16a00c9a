// fit_zscan's objective point by point: the unit of the positions, the weights, the weighted
// residuals, the wing level of a scan and the norm of the residuals.  Written once, here, so
// that what the core exports for the library to compute with (kelp/api/model.hpp) is the
// fit's own arithmetic.  The order of the operations is part of the results.
#pragma once

#include <cmath>

#include "minpack.hpp"
#include "view.hpp"

namespace chem {

/// A position in metres from millimetres, as the caller's positions enter the model.
inline double metres(double x_mm) { return x_mm / 1000.0; }

/// The square root of the weight 1 + 4 exp(-(2x)^2) of a point at x (m) from the centre:
/// points near the focus, where the nonlinear absorption shows, weigh up to 5 times more.
inline double sqrt_weight(double x) {
  const double two_x = 2 * x;
  const double w = 4 * std::exp(-(two_x * two_x)) + 1;
  return std::sqrt(w);
}

/// One residual as lmdif1 sees it: (measured - model) times the square root of the weight.
inline double weighted_residual(double measured, double model, double x) {
  return (measured - model) * sqrt_weight(x);
}

/// The level of a scan's wings from its transmittance ratios q(1 .. n), n >= 5: the mean of
/// the first five and the last five (they overlap for n < 10), summed in this order.
inline double wing_level(const kelp::vec<const double>& q) {
  const kelp::index n = q.size();
  return (q(1) + q(2) + q(3) + q(4) + q(5) + q(n - 4) + q(n - 3) + q(n - 2) + q(n - 1) + q(n)) / 10;
}

/// The fit's error: MINPACK's enorm of v[0 .. m-1] (the Euclidean norm, scaled against
/// overflow and underflow), 0 for no values.
inline double error_norm(minpack::f_int m, const double* v) {
  // enorm only reads x; the binding declares it as Fortran passes it.
  return m > 0 ? minpack::enorm_(&m, const_cast<double*>(v)) : 0.0;
}

}  // namespace chem
