// The five-level photophysical model: population rate equations at fixed intensity and the
// attenuation law at fixed populations, as DLSODA right-hand sides.
//
// Levels: 1 -> 2 (k1 F), 2 -> 1 (1/tau4), 2 -> 3 (k2 F), 3 -> 2 (1/tau6), 2 -> 4 (1/tau5),
// 4 -> 1 (1/tau7), 4 -> 5 (k3 F), 5 -> 4 (1/tau8), with the photon flux F = I / (h nu).
// Levels 1, 2 and 4 absorb with k1, k2 and k3; levels 3 and 5 are transparent.
#pragma once

#include "api.hpp"

#include "odepack.hpp"

namespace chem {

// Coefficients of the right-hand sides, set by the propagation solver at the start of every
// model evaluation.  Per thread, so that fits on different threads see their own parameters.
extern thread_local double pre_inv_hfrq;  // 1 / (h nu): photons per joule
extern thread_local double pre_k1, pre_k2, pre_k3;  // cross-sections (cm^2)
extern thread_local double pre_inv_tau4, pre_inv_tau5, pre_inv_tau6, pre_inv_tau7, pre_inv_tau8;  // 1/s

inline constexpr double planck = 6.62607015e-34;  // J s

/// Sets the nine coefficients from the optical frequency (Hz) and the eight parameters
/// (k1, k2, k3, tau4 .. tau8).
KELP_API void set_coefficients(const double& frq, const double* params);

/// Rate state Y = (N1, N2, N3, N4, N5, I): YDOT(1..5) = dN/dt.  I is a constant of the step;
/// YDOT(6) is never written, so NEQ must be 5.
KELP_API void rhs_rates(const odepack::f_int* neq, const double* t, const double* y, double* ydot);

/// Intensity state Y = (I, N1, N2, N3, N4, N5): YDOT(1) = dI/dz = -alpha I with
/// alpha = k1 N1 + k2 N2 + k3 N4.  NEQ must be 1.
KELP_API void rhs_intensity(const odepack::f_int* neq, const double* t, const double* y, double* ydot);

/// DLSODA's Jacobian argument; never called with JT = 2.
KELP_API void jdum(const odepack::f_int* neq, const double* t, const double* y, const odepack::f_int* ml,
          const odepack::f_int* mu, double* pd, const odepack::f_int* nrowpd);

}  // namespace chem
