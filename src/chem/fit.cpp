#include "chem/fit.hpp"

#include <climits>
#include <string>

#include "chem/objective.hpp"
#include "errors.hpp"

namespace chem {

namespace {

using kelp::index;
using minpack::f_int;

void require(bool ok, const std::string& message) {
  if (!ok) throw kelp::invalid_argument("fit_scan: " + message);
}

// Final residuals, unweighted: measured minus model at the parameters in spec_pars.
void final_residuals(const kelp::vec<double>& spec_pars, const kelp::vec<double>& fit_residuals) {
  const fit_context& c = context();
  const index points = c.cb_num_x_pts;
  for (index i = 1; i <= c.cb_num_datasets; ++i) {
    const index start = (i - 1) * points + 1, end = i * points;
    evaluate_scan(i, spec_pars.data());
    for (index j = start; j <= end; ++j) fit_residuals(j) = c.cb_data_y(j) - c.cb_y_work[j - 1];
  }
}

}  // namespace

void fit_scan(const kelp::vec<const double>& data_x, const kelp::vec<const double>& data_y, model_procedure expr,
              const kelp::vec<const double>& z_samples, const kelp::vec<const double>& times,
              const kelp::vec<const double>& initial_population, const kelp::cube<const double>& laser_intensities,
              const kelp::vec<double>& fit_residuals, const double& frq, const kelp::vec<double>& spec_pars,
              const std::int32_t& num_x_pts, const std::int32_t& num_datasets,
              const kelp::vec<const std::int32_t>& fit_indices, const std::int32_t& n_fit, double& error) {
  // The residual function trusts these extents; a violation would read out of bounds.
  const index m = fit_residuals.size();
  const index points = static_cast<index>(num_x_pts) * (num_datasets > 0 ? num_datasets : 0);
  require(spec_pars.size() == 8, "spec_pars must hold 8 values, got " + std::to_string(spec_pars.size()));
  require(n_fit >= 0 && fit_indices.size() >= n_fit,
          "fit_indices must hold n_fit = " + std::to_string(n_fit) + " values, got " + std::to_string(fit_indices.size()));
  for (index k = 1; k <= n_fit; ++k)
    require(fit_indices(k) >= 1 && fit_indices(k) <= 8,
            "fit_indices(" + std::to_string(k) + ") must lie in 1 .. 8, got " + std::to_string(fit_indices(k)));
  require(num_x_pts >= 0 && m == points && data_x.size() == m && data_y.size() == m,
          "data_x, data_y and fit_residuals must hold num_x_pts * num_datasets = " + std::to_string(points) +
              " values, got " + std::to_string(data_x.size()) + ", " + std::to_string(data_y.size()) + " and " +
              std::to_string(m));
  require(fit_residuals.stride() == 1, "fit_residuals must be contiguous");
  require(num_datasets <= 0 || (laser_intensities.extent(1) == num_x_pts && laser_intensities.extent(3) >= num_datasets &&
                                laser_intensities.extent(2) == times.size()),
          "laser_intensities must be num_x_pts x times x num_datasets");

  const f_int n = n_fit;
  const std::int64_t lwa64 = minpack::lmdif1_work_size(m, n);
  if (lwa64 > INT_MAX) kelp::throw_size_overflow();
  f_int lwa = static_cast<f_int>(lwa64);
  kelp::buffer<f_int> iwa(n);
  kelp::buffer<double> wa(lwa);
  kelp::buffer<double> x(n);

  fit_scope scope(fit_inputs{.data_x = data_x,
                             .data_y = data_y,
                             .spec_pars = spec_pars.sub(1, 8),
                             .z_samples = z_samples,
                             .times = times,
                             .initial_population = initial_population,
                             .laser_intensities = laser_intensities,
                             .expr = expr,
                             .frq = frq,
                             .num_x_pts = num_x_pts,
                             .num_datasets = num_datasets,
                             .fit_indices = fit_indices,
                             .n_fit = n});

  // The optimiser works on the parameters' own values: no scaling, no change of variables.
  for (index k = 1; k <= n; ++k) x[k - 1] = spec_pars(fit_indices(k));

  f_int mm = static_cast<f_int>(m), nn = n;
  if (n == 0 || m < n) {
    // lmdif1 would return at once without evaluating anything, leaving fvec as it found it;
    // the start values' residuals give the error a defined value instead.
    f_int iflag = 1;
    if (m > 0) fcn(&mm, &nn, x.data(), fit_residuals.data(), &iflag);
  } else {
    double tol = 0.001;
    f_int info = 0;  // every ending is treated alike
    minpack::lmdif1_(fcn, &mm, &nn, x.data(), fit_residuals.data(), &tol, &info, iwa.data(), wa.data(), &lwa);
  }
  if (context().cb_model_error) std::rethrow_exception(context().cb_model_error);

  error = error_norm(mm, fit_residuals.data());
  for (index k = 1; k <= n; ++k) spec_pars(fit_indices(k)) = x[k - 1];  // a repeated index: the later wins
  final_residuals(spec_pars, fit_residuals);

  scope.finish();
}

}  // namespace chem
