// The fit driver: one Levenberg-Marquardt fit of selected parameters to all scans at once.
#pragma once

#include "api.hpp"

#include <cstdint>

#include "chem/context.hpp"
#include "minpack.hpp"
#include "view.hpp"

namespace chem {

/// Fits the parameters named by fit_indices (1-based, 1 .. 8) starting from spec_pars.
///
/// On return spec_pars holds the fitted values at the fitted entries (the others untouched),
/// error the Euclidean norm of the final weighted residuals, and fit_residuals the unweighted
/// residuals, measured minus model, at the fitted parameters.  A fit that lmdif1 would reject
/// (no fitted parameter, or fewer residuals than parameters) evaluates the residuals once at
/// the start values instead.  Throws kelp::invalid_argument for inconsistent extents and
/// kelp::memory_error for exhausted memory; the context is idle again afterwards either way.
KELP_API void fit_scan(const kelp::vec<const double>& data_x, const kelp::vec<const double>& data_y, model_procedure expr,
              const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
              const kelp::vec<const double>& initial_population, const kelp::cube<const double>& laser_intensities,
              const kelp::vec<double>& fit_residuals, const double& frq, const kelp::vec<double>& spec_pars,
              const std::int32_t& num_x_pts, const std::int32_t& num_datasets,
              const kelp::vec<const std::int32_t>& fit_indices, const std::int32_t& n_fit, double& error);

/// Model values of scan i (1-based) at params into its block of cb_y_work, through cb_expr.
void evaluate_scan(kelp::index i, const double* params);

/// MINPACK's callback: fvec := sqrt(w) (y - model) for the trial values x of the fitted
/// parameters, w = 1 + 4 exp(-4 x^2) on the stored positions.  Reads this thread's context.
/// Never lets an exception into MINPACK: a throwing model, or a stop requested for the call
/// (kelp::interrupted), is recorded in cb_model_error and iflag is set negative so that
/// lmdif1 returns.
void fcn(minpack::f_int* m, minpack::f_int* n, double* x, double* fvec, minpack::f_int* iflag) noexcept;

}  // namespace chem
