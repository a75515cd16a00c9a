// fit_zscan's arithmetic as the core exports it (kelp/api/model.hpp): each function runs the
// code the fit runs (chem/objective.hpp, the starts), on plain vectors.
#include <climits>
#include <cmath>
#include <string>

#include "chem/objective.hpp"
#include "kelp/api/model.hpp"
#include "kelp/starts.hpp"

namespace kelp {

std::vector<double> fit_weights(const std::vector<double>& x_mm) {
  std::vector<double> w(x_mm.size());
  for (std::size_t i = 0; i < x_mm.size(); ++i) w[i] = chem::sqrt_weight(chem::metres(x_mm[i]));
  return w;
}

std::int64_t centre_index(const std::vector<double>& y, bool is_sa) {
  // fit_zscan centres with NumPy's argmin (argmax): the first extreme, and the first NaN
  // before anything else, since NumPy takes a NaN for the extreme.
  if (y.empty())
    throw invalid_argument(std::string("attempt to get ") + (is_sa ? "argmax" : "argmin") + " of an empty sequence");
  std::size_t k = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (std::isnan(y[i])) return static_cast<std::int64_t>(i);
    if (is_sa ? y[i] > y[k] : y[i] < y[k]) k = i;
  }
  return static_cast<std::int64_t>(k);
}

std::vector<double> start_multipliers(std::int64_t n_starts) {
  std::vector<double> m;
  for (std::int64_t i = 0; i < n_starts; ++i) m.push_back(start_multiplier(i, n_starts));
  return m;
}

double wing_level(const std::vector<double>& ratios) {
  const index n = static_cast<index>(ratios.size());
  if (n < 5) throw invalid_argument("wing_level: expected at least 5 ratios, got " + std::to_string(n));
  return chem::wing_level(vec<const double>(ratios.data(), n));
}

std::vector<double> weighted_residuals(const std::vector<double>& measured, const std::vector<double>& model,
                                       const std::vector<double>& x_mm, std::int64_t scans) {
  const std::size_t n = x_mm.size();
  std::size_t points = 0;
  if (scans < 0 || __builtin_mul_overflow(n, static_cast<std::size_t>(scans), &points) || measured.size() != points ||
      model.size() != points)
    throw invalid_argument("weighted_residuals: expected " + std::to_string(scans) + " scans of " +
                           std::to_string(n) + " values, got " + std::to_string(measured.size()) + " measured and " +
                           std::to_string(model.size()) + " model values");
  std::vector<double> r(measured.size());
  for (std::size_t k = 0; k < static_cast<std::size_t>(scans); ++k)
    for (std::size_t i = 0; i < n; ++i)
      r[k * n + i] = chem::weighted_residual(measured[k * n + i], model[k * n + i], chem::metres(x_mm[i]));
  return r;
}

double error_norm(const std::vector<double>& residuals) {
  if (residuals.size() > INT_MAX)
    throw invalid_argument("error_norm: expected at most 2147483647 values, got " + std::to_string(residuals.size()));
  return chem::error_norm(static_cast<minpack::f_int>(residuals.size()), residuals.data());
}

}  // namespace kelp
