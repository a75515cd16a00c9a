// Prints what one model evaluation and one fit cost, against the bare integrator calls they
// are made of.  Figures only: the machines are shared and noisy, so compare within one run.
//
//   kelp_bench [repeats]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "chem/fit.hpp"
#include "chem/propagation.hpp"
#include "chem/rates.hpp"
#include "kelp/fit_zscan_data.hpp"
#include "kelp/forward.hpp"
#include "odepack.hpp"

namespace {

using kelp::index;
using kelp::vec;
using clock_type = std::chrono::steady_clock;

const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
const std::vector<double> ground = {1e20, 0, 0, 0, 0};

template <class F>
double best_seconds(int repeats, F&& f) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = clock_type::now();
    f();
    best = std::min(best, std::chrono::duration<double>(clock_type::now() - t0).count());
  }
  return best;
}

// One scan of the demo's case, prepared as the fit prepares it.
struct scan {
  static constexpr int n_x = 41, n_t = 21, n_z = 11;
  std::vector<double> x_m = std::vector<double>(n_x), z = std::vector<double>(n_z), t = std::vector<double>(n_t);
  std::vector<double> table = std::vector<double>(n_x * n_t);
  double frq = kelp::optical_frequency(532e-9);

  explicit scan(double energy) {
    for (int i = 0; i < n_x; ++i) x_m[i] = (i - 20) * 1e-3;
    kelp::fill_grids(1e-3, 5e-9, vec<double>(z.data(), n_z), vec<double>(t.data(), n_t));
    kelp::fill_irradiance(vec<double>(x_m.data(), n_x), vec<double>(t.data(), n_t), &energy, 5e-9, 20e-6,
                          kelp::rayleigh_range(20e-6, 1, 532e-9), kelp::cube<double>(table.data(), n_x, n_t, 1));
  }
  kelp::mat<const double> plane() const { return kelp::mat<const double>(table.data(), n_x, n_t, n_x); }
  void evaluate(const double* params, std::vector<double>& out) const {
    chem::solve_system(vec<const double>(x_m.data(), n_x), vec<const double>(z.data(), n_z),
                       vec<const double>(t.data(), n_t), vec<const double>(ground.data(), 5), plane(), frq, params,
                       vec<double>(out.data(), n_x));
  }
};

// The integrations of one evaluation, recorded as their input states, so that they can be
// replayed through DLSODA with nothing else around them.
struct integrations {
  std::vector<double> rate_inputs, intensity_inputs;
  double dt = 0, dz = 0;
};

integrations record(const scan& s, const double* params) {
  integrations rec;
  rec.dt = s.t[1] - s.t[0];
  rec.dz = s.z[1];
  chem::set_coefficients(s.frq, params);
  double rwork[odepack::lrw];
  odepack::f_int iwork[odepack::liw];
  std::vector<double> pops(5 * scan::n_z);
  for (int ix = 0; ix < scan::n_x; ++ix) {
    for (int iz = 0; iz < scan::n_z; ++iz) std::copy(ground.begin(), ground.end(), pops.begin() + 5 * iz);
    for (int it = 0; it < scan::n_t; ++it) {
      double intensity = s.table[ix + scan::n_x * it];
      for (int iz = 0; iz < scan::n_z; ++iz) {
        double y[6], out[6];
        std::copy(pops.begin() + 5 * iz, pops.begin() + 5 * iz + 5, y);
        y[5] = intensity;
        rec.rate_inputs.insert(rec.rate_inputs.end(), y, y + 6);
        chem::solve_rates(y, 0.0, rec.dt, rwork, iwork, out);
        std::copy(out, out + 5, pops.begin() + 5 * iz);
        y[0] = intensity;
        std::copy(out, out + 5, y + 1);
        rec.intensity_inputs.insert(rec.intensity_inputs.end(), y, y + 6);
        chem::solve_intensity(y, 0.0, rec.dz, rwork, iwork, out);
        intensity = out[0];
      }
    }
  }
  return rec;
}

void replay(const integrations& rec) {
  static const odepack::f_int five = 5, one = 1, itol = 1, itask = 1, iopt = 0, jt = 2;
  static const double tol = 1e-6;
  double rwork[odepack::lrw];
  odepack::f_int iwork[odepack::liw];
  odepack::session integrator;
  const std::size_t calls = rec.rate_inputs.size() / 6;
  for (std::size_t c = 0; c < calls; ++c) {
    double y[6], t = 0;
    odepack::f_int istate = 1;
    std::copy(&rec.rate_inputs[6 * c], &rec.rate_inputs[6 * c] + 6, y);
    odepack::dlsoda(chem::rhs_rates, &five, y, &t, &rec.dt, &itol, &tol, &tol, &itask, &istate, &iopt, rwork,
                    &odepack::lrw, iwork, &odepack::liw, chem::jdum, &jt);
    t = 0;
    istate = 1;
    std::copy(&rec.intensity_inputs[6 * c], &rec.intensity_inputs[6 * c] + 6, y);
    odepack::dlsoda(chem::rhs_intensity, &one, y, &t, &rec.dz, &itol, &tol, &tol, &itask, &istate, &iopt, rwork,
                    &odepack::lrw, iwork, &odepack::liw, chem::jdum, &jt);
  }
}

// The model, recording its calls (scan plane and parameters): how many evaluations a fit makes,
// and what their bare integrations cost when replayed afterwards.
struct model_call {
  const double* plane;
  double params[8];
};
std::vector<model_call> model_calls;
void recording_model(const vec<const double>& positions, const vec<const double>& z, const vec<const double>& t,
                     const vec<const double>& pop, const kelp::mat<const double>& plane, const double& frq,
                     const double* params, const vec<double>& result) {
  model_call c{plane.data(), {}};
  std::copy(params, params + 8, c.params);
  model_calls.push_back(c);
  chem::solve_system(positions, z, t, pop, plane, frq, params, result);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  // One model evaluation against its bare integrations.
  const scan one(1e-6);
  std::vector<double> out(scan::n_x);
  const integrations rec = record(one, rsa);
  // Interleaved, best of each: the other load on the machine comes and goes.
  double eval_s = 1e300, bare_s = 1e300;
  for (int r = 0; r < repeats; ++r) {
    eval_s = std::min(eval_s, best_seconds(1, [&] { one.evaluate(rsa, out); }));
    bare_s = std::min(bare_s, best_seconds(1, [&] { replay(rec); }));
  }
  std::printf("model evaluation (41 x 21 x 11, 5 ns, 1 uJ): %d DLSODA calls\n", int(rec.rate_inputs.size() / 3));
  std::printf("  solve_system      %9.3f ms\n  bare DLSODA calls %9.3f ms\n  ratio             %9.4f (target <= 1.05)\n",
              eval_s * 1e3, bare_s * 1e3, eval_s / bare_s);

  // One whole fit: 2 scans x 41 positions, k1 and k2 fitted from 1.3 times the truth, 1 start.
  const double energies[2] = {1e-6, 2e-6};
  const scan second(energies[1]);
  std::vector<double> x_mm, y, table;
  std::vector<double> truth(out.size());
  for (int k = 0; k < 2; ++k) {
    (k == 0 ? one : second).evaluate(rsa, truth);
    for (int i = 0; i < scan::n_x; ++i) x_mm.push_back((i - 20) * 1.0);
    y.insert(y.end(), truth.begin(), truth.end());
  }

  std::vector<double> data_x(x_mm.size()), residuals(y.size());
  for (std::size_t n = 0; n < x_mm.size(); ++n) data_x[n] = x_mm[n] / 1000.0;
  table.resize(scan::n_x * scan::n_t * 2);
  kelp::fill_irradiance(vec<double>(data_x.data(), (index)data_x.size()), vec<double>((double*)one.t.data(), scan::n_t),
                        energies, 5e-9, 20e-6, kelp::rayleigh_range(20e-6, 1, 532e-9),
                        kelp::cube<double>(table.data(), scan::n_x, scan::n_t, 2));
  std::vector<double> spec(rsa, rsa + 8);
  spec[0] *= 1.3;
  spec[1] *= 1.3;
  const std::int32_t indices[2] = {1, 2};
  double error = 0;
  model_calls.clear();
  model_calls.reserve(1000);
  const auto t0 = clock_type::now();
  chem::fit_scan(vec<const double>(data_x.data(), (index)data_x.size()), vec<const double>(y.data(), (index)y.size()),
                 recording_model, vec<const double>(one.z.data(), scan::n_z), vec<const double>(one.t.data(), scan::n_t),
                 vec<const double>(ground.data(), 5), kelp::cube<const double>(table.data(), scan::n_x, scan::n_t, 2),
                 vec<double>(residuals.data(), (index)residuals.size()), one.frq, vec<double>(spec.data(), 8),
                 scan::n_x, 2, vec<const std::int32_t>(indices, 2), 2, error);
  const double fit_s = std::chrono::duration<double>(clock_type::now() - t0).count();
  const long evaluations = static_cast<long>(model_calls.size()) / 2 - 1;  // the last pair: final residuals
  double bare_fit_s = 0;
  for (const model_call& c : model_calls) {
    const integrations r = record(c.plane == table.data() ? one : second, c.params);
    bare_fit_s += best_seconds(1, [&] { replay(r); });
  }

  // The same fit through the core entry, as the Python layer runs it.
  std::vector<double> spec2(rsa, rsa + 8), pop = ground, res2(y.size());
  spec2[0] *= 1.3;
  spec2[1] *= 1.3;
  const std::int32_t t_slices = scan::n_t, z_slices = scan::n_z, n_fit = 2, n_x = scan::n_x, n_d = 2, n_pop = 5,
                     n_res = static_cast<std::int32_t>(y.size());
  const double width = 1e-3, tau = 5e-9, wavelength = 532e-9, w0 = 20e-6, M2 = 1;
  double error2 = 0;
  const auto t1 = clock_type::now();
  fit_zscan_data(x_mm.data(), y.data(), pop.data(), res2.data(), &error2, &t_slices, &z_slices, &width, &tau,
                 &wavelength, &w0, &M2, energies, spec2.data(), indices, &n_fit, &n_x, &n_d, &n_pop, &n_res);
  const double entry_s = std::chrono::duration<double>(clock_type::now() - t1).count();

  std::printf("fit (2 scans x 41, 21 x 11, k1 and k2 from 1.3x, 1 start)\n");
  std::printf("  residual evaluations %ld (+1 for the final residuals)\n", evaluations);
  std::printf("  fit time             %9.3f s   (through the core entry: %.3f s, same result: %s)\n", fit_s,
              entry_s, spec == spec2 && error == error2 ? "yes" : "NO");
  std::printf("  time per evaluation  %9.3f ms\n", fit_s / (evaluations + 1) * 1e3);
  std::printf("  bare integrator time %9.3f s   (the fit's own integrations, replayed)\n", bare_fit_s);
  std::printf("  ratio                %9.4f (target <= 1.05)\n", fit_s / bare_fit_s);
  std::printf("  fitted k1 %.6g (true 1e-18), k2 %.6g (true 1e-17), error %.3g\n", spec[0], spec[1], error);
  return 0;
}
