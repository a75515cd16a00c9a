// The model procedure: the pulse, cut into time samples, through the sample, cut into depth
// slices; transmitted over incident energy per position, levelled so the wings average 1.
#pragma once

#include "api.hpp"

#include <cstdint>

#include "odepack.hpp"
#include "view.hpp"

namespace chem {

/// Normalised model transmittance of one scan, written to result(1 .. n_x).
///
/// \param positions the scan's positions; only their number n_x is used
/// \param z_samples depth grid from 0 (n_z >= 2); its second value is the slice thickness
/// \param times time grid (n_t >= 2); its first two values give the time step
/// \param initial_population N1 .. N5 of every slice at the start of each position
/// \param intensities incident on-axis irradiance (W/cm^2), n_x x n_t
/// \param frq optical frequency (Hz)
/// \param params the eight parameters k1, k2, k3, tau4 .. tau8
/// \param result n_x values
/// Throws kelp::invalid_argument for 1 to 4 positions, fewer than 2 time or depth samples, a
/// population vector not of 5 values or an intensity plane of another shape, and
/// kelp::memory_error when its working storage cannot be had.  n_x = 0 gives an empty result.
/// Positions are integrated independently, spread over the call's threads (the thread
/// budget); a position whose irradiance column repeats another's bit for bit is copied from
/// it.  Either way every value is the one a lone serial evaluation gives.
KELP_API void solve_system(const kelp::vec<const double>& positions, const kelp::vec<const double>& z_samples,
                  const kelp::vec<const double>& times, const kelp::vec<const double>& initial_population,
                  const kelp::mat<const double>& intensities, const double& frq, const double* params,
                  const kelp::vec<double>& result);

// One integration each, from t to tout, of y_out := y_in with the model's settings and the
// coefficients the last solve_system on this thread left: a rate state (NEQ 5) or an
// intensity state (NEQ 1).  rwork holds odepack::lrw doubles, iwork odepack::liw integers.
KELP_API void solve_rates(const double* y_in, const double& t, const double& tout, double* rwork, odepack::f_int* iwork,
                 double* y_out);
KELP_API void solve_intensity(const double* y_in, const double& t, const double& tout, double* rwork,
                     odepack::f_int* iwork, double* y_out);

/// Positions integrated through the sample since the process started: one per distinct
/// irradiance column of each evaluation (positions that repeat a column are copied).
KELP_API std::uint64_t integrated_positions() noexcept;

namespace testing {
/// Whether positions that repeat another's irradiance column bit for bit are copied (the
/// default) instead of integrated again.
KELP_API void reuse_mirrored_positions(bool on) noexcept;
}  // namespace testing

namespace detail {
/// Sout / Sin per position before the wing shift: the sample's own transmittance.  Same
/// arguments and limits as solve_system.
void transmittance_ratios(const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
                          const kelp::vec<const double>& initial_population,
                          const kelp::mat<const double>& intensities, const double& frq, const double* params,
                          const kelp::vec<double>& ratios);
}  // namespace detail

}  // namespace chem
