#include "kelp/closed_aperture.hpp"

#include <string>

#include "chem/objective.hpp"
#include "chem/resolved_column.hpp"
#include "errors.hpp"
#include "kelp/far_field.hpp"
#include "odepack.hpp"
#include "parallel/budget.hpp"
#include "parallel/tasks.hpp"

namespace kelp {

std::vector<double> resolved_curves(const std::vector<double>& x_mm, const std::vector<double>& pulse_energy,
                                    const std::vector<double>& populations, const double (&spec_pars)[8],
                                    const setup& s, const open_aperture_options& o, const aperture_options& a) {
  if (!a.detectors.empty() && a.detectors.size() != pulse_energy.size())
    throw invalid_argument("resolved model: detectors: expected one per pulse energy (" +
                           std::to_string(pulse_energy.size()) + "), got " + std::to_string(a.detectors.size()));
  bool through_aperture = false;
  for (const detector d : a.detectors) {
    if (d != detector::open && d != detector::closed && d != detector::divided)
      throw invalid_argument("resolved model: detectors: expected open, closed or divided");
    through_aperture = through_aperture || d != detector::open;
  }
  const chem::refraction_law refraction(a.refraction, s.wavelength);
  if (!through_aperture) return open_aperture_curves(x_mm, pulse_energy, populations, spec_pars, s, o);

  const open_aperture_model model(populations, spec_pars, s, o);
  const far_field far(model.nodes(), a.aperture);
  const distinct_positions positions = position_peaks(model, x_mm, pulse_energy);
  const index n_x = static_cast<index>(x_mm.size()), n = positions.source.size(), nodes = o.radial_nodes;
  const index count = static_cast<index>(positions.peaks.size()), n_t = model.pulse().size();

  // The call's slot and integrator session for the columns and the far fields both.
  kelp::parallel::caller_slot slot;
  odepack::session integrator;
  // The columns, as open_aperture_curves takes them, each recording its field.
  buffer<double> transmittance(count * nodes * n_t), phase(count * nodes * n_t);
  const chem::column_field fields{&refraction, transmittance.data(), phase.data()};
  const buffer<double> table = integrate_columns(model, positions.peaks, &fields);

  // Then the far field of every position behind the aperture, one task each.
  std::vector<index> behind;
  for (index i = 0; i < n; ++i)
    if (a.detectors[static_cast<std::size_t>(i / n_x)] != detector::open) behind.push_back(i);
  buffer<double> closed(n);
  const double z_r = model.rayleigh_range();
  kelp::parallel::for_each_task(static_cast<std::int64_t>(behind.size()), [&](std::int64_t task) {
    const index i = behind[static_cast<std::size_t>(task)], columns = positions.source[i] * nodes * n_t;
    closed[i] = far.transmittance(chem::metres(x_mm[static_cast<std::size_t>(i % n_x)]) / z_r,
                                  transmittance.data() + columns, phase.data() + columns, model.pulse(),
                                  model.linear_transmittance());
  });

  std::vector<double> out(static_cast<std::size_t>(n));
  for (index i = 0; i < n; ++i) {
    const double open = model.combine(table.data() + positions.source[i] * nodes);
    switch (a.detectors[static_cast<std::size_t>(i / n_x)]) {
      case detector::open: out[static_cast<std::size_t>(i)] = open; break;
      case detector::closed: out[static_cast<std::size_t>(i)] = closed[i]; break;
      case detector::divided: out[static_cast<std::size_t>(i)] = closed[i] / open; break;
    }
  }
  return out;
}

}  // namespace kelp
