// The closed aperture of the resolved model: the phase along a slice against its equation,
// the far field's parts (J0, the radial rule's convergence), and the evaluation's limits and
// bits.  The closed forms of Kerr and excited-state refraction are checked from Python
// (tests/python/kelp/test_closed_aperture.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "chem/instantaneous.hpp"
#include "chem/phase.hpp"
#include "chem/resolved_column.hpp"
#include "errors.hpp"
#include "kelp/closed_aperture.hpp"
#include "kelp/far_field.hpp"
#include "parallel/budget.hpp"

namespace {

using kelp::detector;

TEST(BesselJ0, MatchesTheStandardLibraryAcrossBothBranches) {
  for (double z = 0; z < 300; z += 0.0731) {
    EXPECT_NEAR(kelp::bessel_j0(z), std::cyl_bessel_j(0.0, z), 1e-11) << z;
    EXPECT_EQ(kelp::bessel_j0(-z), kelp::bessel_j0(z));
  }
  EXPECT_NEAR(kelp::bessel_j0(2.404825557695773), 0.0, 1e-15);  // the first zero
}

// The irradiance integrated over a slice (the Kerr phase's path) against Simpson's rule on the
// intensity stepped finely by the slice law itself; the exit intensity keeps its bits.
TEST(SlicePath, IntegratesTheIrradianceOfEachAttenuationLaw) {
  const double dz = 1e-3 / 21;
  struct law_case {
    double alpha0, beta, gamma;
  };
  // beta = 1e-10 m/W and gamma = 1e-23 m^3/W^2 at 1e9 W/cm^2 absorb a fair share of a slice.
  for (const law_case c : {law_case{0, 0, 0}, law_case{500, 0, 0}, law_case{0, 1e-10, 0}, law_case{800, 1e-10, 0},
                           law_case{0, 0, 1e-23}, law_case{800, 0, 1e-23}, law_case{300, 5e-11, 5e-24}}) {
    const chem::instantaneous_law law({c.alpha0, c.beta, c.gamma});
    for (const double a_levels : {0.0, 2000.0, -300.0}) {
      const double a = a_levels + c.alpha0, intensity = 1e9;
      if (a < 0 && c.beta == 0 && c.gamma == 0) continue;  // gain: only with the laws' own forms
      double path;
      const double out = law.transmit(intensity, a, dz, &path);
      EXPECT_EQ(out, law.transmit(intensity, a, dz));
      const int n = 2000;  // Simpson over the exact intensity at n + 1 depths
      double sum = 0;
      for (int i = 0; i <= n; ++i) {
        const double value = law.transmit(intensity, a, dz * i / n);
        sum += (i == 0 || i == n ? 1.0 : i % 2 ? 4.0 : 2.0) * value;
      }
      const double simpson = sum * dz / n / 3;
      EXPECT_NEAR(path, simpson, 1e-9 * simpson) << c.alpha0 << " " << c.beta << " " << c.gamma << " a " << a;
      EXPECT_LE(path, intensity * dz);
    }
  }
}

TEST(RefractionLaw, KerrAndLevelsAddThePhaseOfTheirDefinition) {
  kelp::refraction r;
  r.n2 = 2e-18;                           // m^2/W
  r.kr[0] = 3e-18;                        // kr2, cm^2
  r.kr[3] = -1e-18;                       // kr5
  const chem::refraction_law law(r, 500e-9);
  const double initial[5] = {1e20, 0, 0, 0, 0}, pops[5] = {0.9e20, 0.08e20, 0, 0, 0.02e20};
  const double k = 2 * 3.141592653589793 / 500e-9;
  // path in W/cm^2 m: 1e4 times that in W/m^2 m.
  EXPECT_NEAR(law.slice(5e5, pops, initial, 1e-4), k * 2e-18 * 5e9 + (3e-18 * 0.08e20 - 1e-18 * 0.02e20) * 1e-4,
              1e-12);
  EXPECT_EQ(law.slice(5e5, initial, initial, 1e-4), k * 2e-18 * 1e4 * 5e5);
  for (double bad : {std::nan(""), HUGE_VAL}) {
    kelp::refraction b;
    b.n2 = bad;
    EXPECT_THROW(chem::refraction_law(b, 500e-9), kelp::invalid_argument);
    b.n2 = 0;
    b.kr[2] = bad;
    EXPECT_THROW(chem::refraction_law(b, 500e-9), kelp::invalid_argument);
  }
  EXPECT_THROW(chem::refraction_law(r, 0.0), kelp::invalid_argument);
}

const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
const double no_levels[8] = {0, 0, 0, 1, 1, 1, 1, 1};
const std::vector<double> ground_only = {1e20, 0, 0, 0, 0}, empty = {0, 0, 0, 0, 0};

// 20 ps pulses: 1 uJ at w0 = 20 um peaks at 4.5e13 W/m^2 on the axis at the focus.
kelp::setup beam(int t_slices = 21, int z_slices = 7) {
  kelp::setup s;
  s.tau = 20e-12;
  s.t_slices = t_slices;
  s.z_slices = z_slices;
  return s;
}

kelp::aperture_options behind(std::vector<detector> detectors, double n2 = 0, double kr2 = 0, double s = 0.1) {
  kelp::aperture_options a;
  a.detectors = std::move(detectors);
  a.aperture = s;
  a.refraction.n2 = n2;
  a.refraction.kr[0] = kr2;
  return a;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// n2 of 1e-18 m^2/W through 1 mm: an on-axis phase of 0.53 rad at the focus.
const double kerr = 1e-18;

TEST(ResolvedCurves, OpenScansAreTheOpenApertureModelsBits) {
  const std::vector<double> x = {-8, -2, 0, 1, 2, 8};
  const kelp::open_aperture_options o;
  const auto open = kelp::open_aperture_curves(x, {1e-6, 2e-6}, ground_only, rsa, beam(), o);
  EXPECT_TRUE(same_bits(kelp::resolved_curves(x, {1e-6, 2e-6}, ground_only, rsa, beam(), o, behind({}, kerr)), open));
  EXPECT_TRUE(same_bits(
      kelp::resolved_curves(x, {1e-6, 2e-6}, ground_only, rsa, beam(), o, behind({detector::open, detector::open})),
      open));
  // Beside a closed scan the open one is still the same bits, and the divided one is the
  // closed over the open.
  const auto mixed = kelp::resolved_curves(x, {1e-6, 1e-6, 1e-6}, ground_only, rsa, beam(), o,
                                           behind({detector::closed, detector::open, detector::divided}, kerr));
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(mixed[x.size() + i], open[i]);
    EXPECT_EQ(mixed[2 * x.size() + i], mixed[i] / open[i]);
  }
}

TEST(ResolvedCurves, TransparentNonRefractingSamplesGiveExactlyOne) {
  const std::vector<double> x = {-30, -3, -0.5, 0, 0.7, 4, 25};
  const kelp::open_aperture_options o;
  for (double s : {0.01, 0.5, 0.99})
    for (const auto& t : {kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), o, behind({detector::closed}, 0, 0, s)),
                          kelp::resolved_curves(x, {1e-6}, ground_only, no_levels, beam(), o,
                                                behind({detector::divided}, 0, 1e-17, s))})
      for (double v : t) EXPECT_EQ(v, 1.0) << s;
  // A linear absorber, to rounding.
  kelp::instantaneous_absorption linear;
  linear.alpha0 = 700;
  kelp::open_aperture_options with_linear;
  with_linear.instantaneous = linear;
  for (double v : kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), with_linear, behind({detector::closed})))
    EXPECT_NEAR(v, 1.0, 1e-13);
}

TEST(ResolvedCurves, ApertureNearOneIsTheOpenAperture) {
  // Two-photon absorption and Kerr: the closed signal tends to the open one as S -> 1, slowly,
  // since the nonlinear phase spreads the far field beyond the linear beam's (an aperture
  // passing all but 1e-5 of the linear beam still stops 1e-3 of the signal here).
  const std::vector<double> x = {-6, -2, -1, 0, 1, 2, 6};
  kelp::open_aperture_options o;
  o.instantaneous.beta = 5e-12;  // beta I0 L = 0.22
  const auto open = kelp::open_aperture_curves(x, {1e-6}, empty, rsa, beam(), o);
  double signal = 0;
  for (double v : open) signal = std::max(signal, 1 - v);
  EXPECT_GT(signal, 0.05);
  const auto difference = [&](double s) {
    const auto closed = kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), o, behind({detector::closed}, kerr, 0, s));
    double error = 0;
    for (std::size_t i = 0; i < x.size(); ++i) error = std::max(error, std::abs(closed[i] - open[i]));
    return error;
  };
  double previous = difference(0.5);
  EXPECT_GT(previous, 0.5 * signal);  // a real aperture sees the refraction
  for (double s : {1 - 1e-6, 1 - 1e-9, 1 - 1e-12}) {
    const double error = difference(s);
    EXPECT_LT(error, 0.5 * previous) << s;
    previous = error;
  }
  EXPECT_LT(previous, 1e-4 * signal);
}

TEST(ResolvedCurves, RadialRuleConvergesAtEveryDistanceFromTheFocus) {
  // The default rule against 512 nodes in u, at positions from the focus to 30 Rayleigh ranges,
  // with an amplitude and a phase that vary across the beam and in time.
  const kelp::index n_c = 6, n_t = 9;
  std::vector<double> t(n_c * n_t), phi(n_c * n_t);
  kelp::open_aperture_options o;
  o.radial_nodes = static_cast<std::int32_t>(n_c);
  const kelp::open_aperture_model model(empty, rsa, beam(n_t, 3), o);
  for (kelp::index j = 0; j < n_c; ++j)
    for (kelp::index k = 0; k < n_t; ++k) {
      const double y = model.nodes()(j + 1), p = model.pulse()(k + 1);
      t[j * n_t + k] = 1 / (1 + 0.7 * y * p);
      phi[j * n_t + k] = 1.5 * y * p;
    }
  for (double s : {0.01, 0.5, 0.9}) {
    const kelp::far_field far(model.nodes(), s);
    double signal = 0;
    for (double x : {-1.0, 1.0}) signal = std::max(signal, std::abs(far.transmittance(x, t.data(), phi.data(), model.pulse(), 1.0) - 1));
    for (double x : {0.0, 0.5, -0.9, 3.0, -7.0, 12.0, -20.0, 30.0}) {
      const double fine = far.transmittance(x, t.data(), phi.data(), model.pulse(), 1.0, 512);
      const double share = std::abs(x) <= 12 ? 1e-9 : 1e-7;  // docs/models.md has the table
      EXPECT_NEAR(far.transmittance(x, t.data(), phi.data(), model.pulse(), 1.0), fine, share * signal)
          << x << " S " << s;
    }
  }
  EXPECT_EQ(kelp::far_field::radial_points(0), 32);
  EXPECT_EQ(kelp::far_field::radial_points(-4), 32);
  EXPECT_EQ(kelp::far_field::radial_points(8.5), 56);
  EXPECT_EQ(kelp::far_field::radial_points(1e6), 512);
  EXPECT_EQ(kelp::far_field::radial_points(std::nan("")), 512);
}

TEST(ResolvedCurves, RejectsInputsOutsideTheModel) {
  const std::vector<double> x = {0, 1};
  const kelp::open_aperture_options o;
  for (double s : {0.0, 1.0, -0.2, std::nan("")})
    EXPECT_THROW(kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), o, behind({detector::divided}, kerr, 0, s)),
                 kelp::invalid_argument);
  EXPECT_THROW(kelp::resolved_curves(x, {1e-6, 2e-6}, empty, rsa, beam(), o, behind({detector::closed}, kerr)),
               kelp::invalid_argument);
  EXPECT_THROW(kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), o, behind({static_cast<detector>(7)})),
               kelp::invalid_argument);
  // A refraction that is not finite is refused even where no scan would use it.
  EXPECT_THROW(kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), o, behind({}, std::nan(""))),
               kelp::invalid_argument);
  // An open scan needs no aperture.
  EXPECT_EQ(kelp::resolved_curves(x, {1e-6}, empty, rsa, beam(), o, behind({detector::open}, kerr, 0, 0)).size(), 2u);
}

// Sets the budget for one test and restores the process's own at its end.
struct budget_of {
  explicit budget_of(int n) { kelp::parallel::testing::set_thread_budget(n); }
  ~budget_of() { kelp::parallel::testing::set_thread_budget(0); }
};

TEST(ParallelClosedAperture, EveryBudgetGivesTheSerialBits) {
  // The demo's absorber with excited-state refraction and Kerr, a scan off its middle, all three
  // detectors.
  std::vector<double> x;
  for (int i = -4; i < 9; ++i) x.push_back(i);
  kelp::setup s = beam(7, 3);
  kelp::open_aperture_options o;
  o.radial_nodes = 3;
  const auto a = behind({detector::closed, detector::divided, detector::open}, kerr, 2e-17, 0.3);
  const auto evaluate = [&](const std::vector<double>& at) {
    return kelp::resolved_curves(at, {1e-6, 3e-6, 3e-6}, ground_only, rsa, s, o, a);
  };
  std::vector<double> serial;
  {
    budget_of one(1);
    serial = evaluate(x);
  }
  for (int threads : {2, 5}) {
    budget_of b(threads);
    EXPECT_TRUE(same_bits(evaluate(x), serial)) << threads << " threads";
  }
  kelp::testing::reuse_open_aperture_positions(false);
  EXPECT_TRUE(same_bits(evaluate(x), serial)) << "without reuse";
  kelp::testing::reuse_open_aperture_positions(true);
  for (std::size_t i = 0; i < x.size(); i += 4) {
    const auto alone = evaluate({x[i]});
    for (std::size_t scan = 0; scan < 3; ++scan) EXPECT_EQ(alone[scan], serial[scan * x.size() + i]) << x[i] << " mm";
  }
}

}  // namespace
