// Grids, beam irradiance, the rate equations and the propagation through the sample.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "chem/propagation.hpp"
#include "chem/rates.hpp"
#include "errors.hpp"
#include "global.hpp"
#include "kelp/forward.hpp"
#include "laser.hpp"

namespace {

using kelp::vec;

std::vector<double> grid(double start, double stop, int n) {
  std::vector<double> v(n > 0 ? n : 0);
  global::linspace(start, stop, n, vec<double>(v.data(), static_cast<kelp::index>(v.size())));
  return v;
}

// The reverse saturable absorber of the demo: k1, k2, k3, tau4 .. tau8.
const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
const std::vector<double> ground_only = {1e20, 0, 0, 0, 0};

TEST(Linspace, EvenlySpacedValuesAndSmallCounts) {
  EXPECT_EQ(grid(0, 1, 5), (std::vector<double>{0, 0.25, 0.5, 0.75, 1}));
  EXPECT_EQ(grid(3, 7, 1), (std::vector<double>{3}));  // the start, not the stop or the midpoint
  const double tau = 5e-9;
  EXPECT_EQ(grid(-(0.5 * tau), 0.5 * tau, 3), (std::vector<double>{-tau / 2, 0, tau / 2}));
  const std::vector<double> depth = grid(0, 0.001, 5);
  EXPECT_EQ(depth[1], 0.001 / 4);
  EXPECT_EQ(depth[4], 0.001);

  double sentinel[2] = {42, 42};
  for (int n : {0, -3}) {
    global::linspace(0, 1, n, vec<double>(sentinel, 2));
    EXPECT_EQ(sentinel[0], 42);
    EXPECT_EQ(sentinel[1], 42);
  }
}

TEST(Linspace, WritesThroughStridedViews) {
  double v[6] = {-1, -1, -1, -1, -1, -1};
  global::linspace(0, 1, 3, vec<double>(v, 3, 2));
  EXPECT_EQ(v[0], 0);
  EXPECT_EQ(v[2], 0.5);
  EXPECT_EQ(v[4], 1);
  EXPECT_EQ(v[1], -1);
}

TEST(Irradiance, PeakAxialTemporalAndRadialDependence) {
  const double e = 1e-6, tau = 5e-9, w0 = 20e-6, z_r = kelp::rayleigh_range(w0, 1.0, 532e-9);
  const double peak = laser::irradiance(0, 0, 0, e, tau, w0, z_r);
  EXPECT_NEAR(peak, 0.94 * e / tau * 2e-4 / (laser::pi * w0 * w0), 1e-15 * peak);
  // At one Rayleigh range the beam area doubles.
  EXPECT_NEAR(laser::irradiance(0, 0, z_r, e, tau, w0, z_r), peak / 2, 1e-15 * peak);
  EXPECT_NEAR(laser::irradiance(0, tau, 0, e, tau, w0, z_r), peak * std::exp(-1.0), 1e-15 * peak);
  EXPECT_NEAR(laser::irradiance(0, -tau, 0, e, tau, w0, z_r), peak * std::exp(-1.0), 1e-15 * peak);
  EXPECT_NEAR(laser::irradiance(w0, 0, 0, e, tau, w0, z_r), peak * std::exp(-2.0), 1e-15 * peak);
  EXPECT_EQ(laser::irradiance(0, 0, 0, 2 * e, tau, w0, z_r), 2 * peak);
  EXPECT_FALSE(std::isfinite(laser::irradiance(0, 0, 0, e, 0.0, w0, z_r)));
}

TEST(Coefficients, PhotonsPerJouleAndReciprocalTimes) {
  const double frq = kelp::optical_frequency(532e-9);
  chem::set_coefficients(frq, rsa);
  EXPECT_EQ(chem::pre_inv_hfrq, 1 / (6.62607015e-34 * frq));
  EXPECT_NEAR(chem::pre_inv_hfrq, 532e-9 / (6.62607015e-34 * 299792458.0), 1e-15 * chem::pre_inv_hfrq);
  EXPECT_EQ(chem::pre_k2, 1e-17);
  EXPECT_EQ(chem::pre_inv_tau4, 1 / 1e-9);
  EXPECT_EQ(chem::pre_inv_tau8, 1 / 1e-13);
}

class RateEquations : public ::testing::Test {
 protected:
  void SetUp() override { chem::set_coefficients(kelp::optical_frequency(532e-9), rsa); }
  double ydot[6] = {0, 0, 0, 0, 0, 0};
};

TEST_F(RateEquations, ConserveTotalPopulation) {
  const double states[][6] = {{1e20, 0, 0, 0, 0, 1e9},
                              {3e19, 2e19, 1e19, 5e18, 7e18, 4e8},
                              {1e18, 9e19, 0, 3e19, 2e19, 2.5e10}};
  for (const auto& y : states) {
    chem::rhs_rates(nullptr, nullptr, y, ydot);
    double scale = 0;
    for (int l = 0; l < 5; ++l) scale = std::max(scale, std::abs(ydot[l]));
    EXPECT_NEAR(ydot[0] + ydot[1] + ydot[2] + ydot[3] + ydot[4], 0.0, 1e-14 * scale);
  }
}

TEST_F(RateEquations, GroundStateOnlyIsLinearAbsorption) {
  const double n = 1e20, intensity = 1e8;
  const double y[6] = {n, 0, 0, 0, 0, intensity};
  ydot[5] = 123;  // never written: the intensity is a constant of the rate step
  chem::rhs_rates(nullptr, nullptr, y, ydot);
  const double flux = intensity * chem::pre_inv_hfrq;
  EXPECT_DOUBLE_EQ(ydot[0], -1e-18 * n * flux);
  EXPECT_DOUBLE_EQ(ydot[1], 1e-18 * n * flux);
  EXPECT_EQ(ydot[2], 0);
  EXPECT_EQ(ydot[3], 0);
  EXPECT_EQ(ydot[4], 0);
  EXPECT_EQ(ydot[5], 123);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double yi[6] = {intensity, n, 0, nan, 0, nan};  // levels 3 and 5 do not absorb
  chem::rhs_intensity(nullptr, nullptr, yi, ydot);
  EXPECT_DOUBLE_EQ(ydot[0], -1e-18 * n * intensity);
}

TEST_F(RateEquations, DarkSampleOnlyRelaxes) {
  const double y[6] = {1e19, 2e19, 3e19, 4e19, 5e19, 0};
  chem::rhs_rates(nullptr, nullptr, y, ydot);
  EXPECT_DOUBLE_EQ(ydot[0], 2e19 / 1e-9 + 4e19 / 1e-6);
  EXPECT_DOUBLE_EQ(ydot[2], -3e19 / 1e-13);
  EXPECT_DOUBLE_EQ(ydot[4], -5e19 / 1e-13);
  const double empty[6] = {0, 0, 0, 0, 0, 1e9};
  chem::rhs_rates(nullptr, nullptr, empty, ydot);
  for (int l = 0; l < 5; ++l) EXPECT_EQ(ydot[l], 0);
}

// A scan prepared the way the fit prepares it.
struct scan {
  std::vector<double> z, t, table;
  kelp::index n_x;
  double frq = kelp::optical_frequency(532e-9);

  scan(kelp::index positions, int times, int slices, double width = 1e-3, double energy = 1e-6, double tau = 5e-9,
       double x_max_mm = 20)
      : z(slices), t(times), table(positions * times), n_x(positions) {
    kelp::fill_grids(width, tau, vec<double>(z.data(), slices), vec<double>(t.data(), times));
    std::vector<double> x(positions);
    for (kelp::index i = 0; i < positions; ++i)
      x[i] = positions > 1 ? (i * 2 * x_max_mm / (positions - 1) - x_max_mm) / 1000.0 : 0;
    const double w0 = 20e-6;
    kelp::fill_irradiance(vec<double>(x.data(), positions), vec<double>(t.data(), times), &energy, tau, w0,
                          kelp::rayleigh_range(w0, 1.0, 532e-9), kelp::cube<double>(table.data(), positions, times, 1));
  }
  kelp::mat<const double> plane() const { return kelp::mat<const double>(table.data(), n_x, (kelp::index)t.size(), n_x); }
  vec<const double> zs() const { return vec<const double>(z.data(), (kelp::index)z.size()); }
  vec<const double> ts() const { return vec<const double>(t.data(), (kelp::index)t.size()); }

  std::vector<double> model(const double* params, const std::vector<double>& pop = ground_only) const {
    std::vector<double> out(n_x), positions(n_x);
    chem::solve_system(vec<const double>(positions.data(), n_x), zs(), ts(),
                       vec<const double>(pop.data(), (kelp::index)pop.size()), plane(), frq, params,
                       vec<double>(out.data(), n_x));
    return out;
  }
  std::vector<double> ratios(const double* params, const std::vector<double>& pop = ground_only) const {
    std::vector<double> q(n_x);
    chem::detail::transmittance_ratios(zs(), ts(), vec<const double>(pop.data(), 5), plane(), frq, params,
                                       vec<double>(q.data(), n_x));
    return q;
  }
};

TEST(Propagation, ReverseSaturableAbsorberDipsAtFocus) {
  const scan s(21, 9, 5);
  const std::vector<double> t = s.model(rsa);
  const double focus = t[10];
  EXPECT_LT(focus, 0.97);
  for (std::size_t i = 0; i < t.size(); ++i) EXPECT_GE(t[i], focus);
  EXPECT_NEAR(t[0], 1.0, 2e-3);
  EXPECT_NEAR(t[20], 1.0, 2e-3);
  EXPECT_EQ(t[3], t[17]);  // the beam is symmetric about the focus
}

TEST(Propagation, TransparentSamplesGiveExactlyOne) {
  const double no_absorption[8] = {0, 0, 0, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
  const std::vector<double> empty = {0, 0, 0, 0, 0};
  const std::vector<std::vector<double>> curves = {
      scan(11, 5, 4, /*width=*/0.0).model(rsa),  // no thickness: every attenuation step is empty
      scan(11, 5, 4).model(rsa, empty),
      scan(11, 5, 4).model(no_absorption),
  };
  for (const auto& curve : curves)
    for (double v : curve) EXPECT_EQ(v, 1.0);
}

TEST(Propagation, WeakPulseFollowsBeerLambertOverTheSlicedPath) {
  // Before the wing shift the ratio is the sample's own transmittance.  The scheme uses one
  // slice per depth point, so the light crosses n_z * dz, not the sample width.
  const int n_z = 6;
  const double width = 1e-3;
  // Weak enough not to deplete the ground level, strong enough that the integrator's absolute
  // tolerance (1e-6 W/cm^2) is far below the intensities.
  const scan s(7, 5, n_z, width, /*energy=*/1e-11);
  const double dz = s.z[1];
  const std::vector<double> q = s.ratios(rsa);
  const double beer_lambert = std::exp(-1e-18 * 1e20 * n_z * dz);
  for (double v : q) EXPECT_NEAR(v, beer_lambert, 1e-5);
  EXPECT_GT(std::abs(beer_lambert - std::exp(-1e-18 * 1e20 * width)), 1e-3);  // the distinction is visible
}

TEST(Propagation, OneAttenuationStepIsExponential) {
  chem::set_coefficients(kelp::optical_frequency(532e-9), rsa);
  const double y_in[6] = {3e8, 1e20, 2e19, 0, 5e18, 0}, dz = 1e-4;
  double y_out[6], rwork[odepack::lrw];
  odepack::f_int iwork[odepack::liw];
  chem::solve_intensity(y_in, 0.0, dz, rwork, iwork, y_out);
  const double alpha = 1e-18 * 1e20 + 1e-17 * 2e19 + 1e-17 * 5e18;
  EXPECT_NEAR(y_out[0], 3e8 * std::exp(-alpha * dz), 1e-5 * 3e8);
  for (int l = 1; l < 6; ++l) EXPECT_EQ(y_out[l], y_in[l]);

  // A dark rate step: level 2 relaxes to 1 and 4 with 1/tau4 + 1/tau5.
  const double r_in[6] = {0, 1e20, 0, 0, 0, 0}, dt = 2e-9;
  chem::solve_rates(r_in, 0.0, dt, rwork, iwork, y_out);
  EXPECT_NEAR(y_out[1], 1e20 * std::exp(-(1 / 1e-9 + 1 / 1e-8) * dt), 1e-5 * 1e20);
  EXPECT_NEAR(y_out[0] + y_out[1] + y_out[2] + y_out[3] + y_out[4], 1e20, 1e-5 * 1e20);
}

TEST(Propagation, ConstantAbsorbanceIsRemovedByTheWingShift) {
  // A purely linear absorber (level 2 empties at once) absorbs the same fraction everywhere.
  const double linear[8] = {1e-18, 0, 0, 1e-15, 1e-8, 1e-13, 1e-6, 1e-13};
  const scan s(11, 5, 4);
  const std::vector<double> q = s.ratios(linear);
  EXPECT_LT(q[5], 0.95);  // it does absorb...
  for (double v : s.model(linear)) EXPECT_NEAR(v, 1.0, 1e-5);  // ...but the shift levels it
}

TEST(Propagation, WingLevelOfFivePositionsIsTheirMean) {
  const scan s(5, 5, 3, 1e-3, 1e-6, 5e-9, /*x_max_mm=*/2);
  const std::vector<double> q = s.ratios(rsa), t = s.model(rsa);
  const double b = (q[0] + q[1] + q[2] + q[3] + q[4] + q[0] + q[1] + q[2] + q[3] + q[4]) / 10;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(t[i], q[i] + (1 - b));
  EXPECT_LT(t[2], t[0]);
}

TEST(Propagation, ZeroTimeStepLeavesPopulationsUntouched) {
  scan s(9, 4, 3);
  s.t[1] = s.t[0];  // the sample never sees a step of light
  for (double v : s.model(rsa)) EXPECT_NEAR(v, 1.0, 1e-5);
}

TEST(Propagation, RejectsInputsOutsideTheScheme) {
  const scan s(9, 4, 3);
  std::vector<double> out(9), pos(9), four = {1e20, 0, 0, 0};
  const vec<const double> pop(ground_only.data(), 5);
  const auto run = [&](kelp::index n_x, vec<const double> z, vec<const double> t, vec<const double> p,
                       kelp::mat<const double> plane) {
    chem::solve_system(vec<const double>(pos.data(), n_x), z, t, p, plane, s.frq, rsa, vec<double>(out.data(), 9));
  };
  const kelp::mat<const double> four_rows(s.table.data(), 4, 4, 9);
  EXPECT_THROW(run(4, s.zs(), s.ts(), pop, four_rows), kelp::invalid_argument);
  EXPECT_THROW(run(9, s.zs().sub(1, 1), s.ts(), pop, s.plane()), kelp::invalid_argument);
  EXPECT_THROW(run(9, s.zs(), s.ts().sub(1, 1), pop, kelp::mat<const double>(s.table.data(), 9, 1, 9)),
               kelp::invalid_argument);
  EXPECT_THROW(run(9, s.zs(), s.ts(), vec<const double>(four.data(), 4), s.plane()), kelp::invalid_argument);
  EXPECT_THROW(run(9, s.zs(), s.ts(), pop, kelp::mat<const double>(s.table.data(), 9, 3, 9)), kelp::invalid_argument);
  EXPECT_THROW(run(8, s.zs(), s.ts(), pop, s.plane()), kelp::invalid_argument);
  // No positions: nothing to compute, nothing written.
  out.assign(9, -1);
  EXPECT_NO_THROW(run(0, s.zs(), s.ts(), pop, kelp::mat<const double>(s.table.data(), 0, 4, 0)));
  EXPECT_EQ(out[0], -1);
}

TEST(ForwardModel, ScansAtTwiceTheEnergyDipDeeper) {
  kelp::setup beam;
  beam.t_slices = 5;
  beam.z_slices = 3;
  const std::vector<double> x = {-10, -5, -1, 0, 1, 5, 10};
  const std::vector<double> t = kelp::model_curves(x, {1e-6, 2e-6}, ground_only, rsa, beam);
  ASSERT_EQ(t.size(), 14u);
  EXPECT_LT(t[7 + 3], t[3]);
  EXPECT_THROW(kelp::model_curves({0, 1, 2}, {1e-6}, ground_only, rsa, beam), kelp::invalid_argument);
}

}  // namespace
