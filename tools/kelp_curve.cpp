// Prints model transmittance curves of one sample as CSV: position in mm, then one column per
// pulse energy.  Defaults: a reverse saturable absorber (k1 = 1e-18, k2 = k3 = 1e-17 cm^2,
// tau4..tau8 = 1e-9, 1e-8, 1e-13, 1e-6, 1e-13 s, N1 = 1e20) at 532 nm, w0 = 20 um, M2 = 1,
// 5 ns pulses of 1 uJ, a 1 mm sample, 41 positions from -20 to 20 mm, 21 x 11 grid points.
//
//   kelp_curve [name=value ...]
//   names: k1 k2 k3 tau4 tau5 tau6 tau7 tau8 (parameters), N1..N5 (populations),
//          energies=E1,E2,... (J), wavelength w0 M2 tau sample_width (SI units),
//          t_slices z_slices, x_min x_max (mm) points, noise (absolute) seed
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kelp/forward.hpp"

namespace {

struct options {
  double spec_pars[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
  std::vector<double> populations = {1e20, 0, 0, 0, 0};
  std::vector<double> energies = {1e-6};
  kelp::setup beam;
  double x_min = -20, x_max = 20, noise = 0;
  int points = 41;
  unsigned seed = 1;
};

double number(const std::string& name, const std::string& text) {
  std::size_t used = 0;
  double v = 0;
  try {
    v = std::stod(text, &used);
  } catch (const std::exception&) {
    used = std::string::npos;
  }
  if (used != text.size()) throw std::invalid_argument("kelp_curve: " + name + ": not a number: '" + text + "'");
  return v;
}

options parse(int argc, char** argv) {
  static const char* par_names[8] = {"k1", "k2", "k3", "tau4", "tau5", "tau6", "tau7", "tau8"};
  options o;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    const auto eq = arg.find('=');
    if (eq == std::string::npos) throw std::invalid_argument("kelp_curve: expected name=value, got '" + arg + "'");
    const std::string name = arg.substr(0, eq), value = arg.substr(eq + 1);
    bool known = false;
    for (int l = 0; l < 8; ++l)
      if (name == par_names[l]) o.spec_pars[l] = number(name, value), known = true;
    for (int l = 0; l < 5; ++l)
      if (name == "N" + std::to_string(l + 1)) o.populations[l] = number(name, value), known = true;
    if (known) continue;
    if (name == "energies") {
      o.energies.clear();
      std::stringstream in(value);
      for (std::string item; std::getline(in, item, ',');) o.energies.push_back(number(name, item));
    } else if (name == "wavelength") o.beam.wavelength = number(name, value);
    else if (name == "w0") o.beam.w0 = number(name, value);
    else if (name == "M2") o.beam.M2 = number(name, value);
    else if (name == "tau") o.beam.tau = number(name, value);
    else if (name == "sample_width") o.beam.sample_width = number(name, value);
    else if (name == "t_slices") o.beam.t_slices = static_cast<int>(number(name, value));
    else if (name == "z_slices") o.beam.z_slices = static_cast<int>(number(name, value));
    else if (name == "x_min") o.x_min = number(name, value);
    else if (name == "x_max") o.x_max = number(name, value);
    else if (name == "points") o.points = static_cast<int>(number(name, value));
    else if (name == "noise") o.noise = number(name, value);
    else if (name == "seed") o.seed = static_cast<unsigned>(number(name, value));
    else throw std::invalid_argument("kelp_curve: unknown setting '" + name + "'");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const options o = parse(argc, argv);
    std::vector<double> x(o.points > 0 ? o.points : 0);
    for (int i = 0; i < o.points; ++i)
      x[i] = o.points > 1 ? (i * (o.x_max - o.x_min)) / (o.points - 1) + o.x_min : o.x_min;
    std::vector<double> t = kelp::model_curves(x, o.energies, o.populations, o.spec_pars, o.beam);
    std::mt19937_64 rng(o.seed);
    std::normal_distribution<double> gauss(0.0, o.noise > 0 ? o.noise : 1.0);
    if (o.noise > 0)
      for (double& v : t) v += gauss(rng);
    std::printf("position_mm");
    for (double e : o.energies) std::printf(",T_%.6g_J", e);
    std::printf("\n");
    for (std::size_t i = 0; i < x.size(); ++i) {
      std::printf("%.17g", x[i]);
      for (std::size_t k = 0; k < o.energies.size(); ++k) std::printf(",%.17g", t[k * x.size() + i]);
      std::printf("\n");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
