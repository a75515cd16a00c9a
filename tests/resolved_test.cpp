// The resolved model's exact rate steps and instantaneous absorption: the steps against
// DLSODA at tight tolerances and against closed forms, the slice law against its equation
// integrated finely, and the model's limits.  The beam-averaged closed forms of two- and
// three-photon absorption, on samples without populations, are checked from Python
// (tests/python/test_resolved.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "chem/exact_steps.hpp"
#include "chem/instantaneous.hpp"
#include "chem/rates.hpp"
#include "chem/resolved_column.hpp"
#include "errors.hpp"
#include "kelp/open_aperture.hpp"
#include "odepack.hpp"
#include "parallel/budget.hpp"

namespace {

using kelp::vec;

const double frq = kelp::optical_frequency(532e-9);
const double long_time = 1e30;
// The demo's reverse saturable absorber (k1, k2, k3, tau4 .. tau8), and a saturable absorber
// whose level 2 relaxes during the 5 ns pulse.
const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
const double relaxing_sa[8] = {1e-17, 0, 0, 2e-9, long_time, long_time, long_time, long_time};

// DLSODA on the rate equations at tolerances far below the model's 1e-6.
class tight_dlsoda final : public chem::rate_steps {
 public:
  explicit tight_dlsoda(double dt) : dt_(dt) {}
  void advance(const double* n, const double& intensity, double* out) override {
    double y[6] = {n[0], n[1], n[2], n[3], n[4], intensity}, t = 0;
    const odepack::f_int neq = 5, itol = 1, itask = 1, iopt = 1, jt = 2;
    const double rtol = 1e-12, atol = 1e-2;  // populations of order 1e20
    odepack::f_int istate = 1;
    std::memset(rwork_, 0, sizeof rwork_);
    std::memset(iwork_, 0, sizeof iwork_);
    iwork_[5] = 100000;  // MXSTEP
    odepack::dlsoda(chem::rhs_rates, &neq, y, &t, &dt_, &itol, &rtol, &atol, &itask, &istate, &iopt, rwork_,
                    &odepack::lrw, iwork_, &odepack::liw, chem::jdum, &jt);
    ASSERT_EQ(istate, 2);
    for (int l = 0; l < 5; ++l) out[l] = y[l];
  }

 private:
  double dt_;
  double rwork_[odepack::lrw];
  odepack::f_int iwork_[odepack::liw];
};

// The open-aperture model's column grid and pulse for 5 ns pulses over +-3 tau.
struct column_case {
  column_case(int n_t, int n_z) : pulse(n_t) {
    grid.dt = 6 * 5e-9 / n_t;
    grid.dz = 1e-3 / n_z;
    grid.depth_slices = n_z;
    for (int k = 0; k < n_t; ++k) {
      const double s = -3 + (k + 0.5) * 6.0 / n_t;
      pulse[k] = std::exp(-s * s);
    }
  }
  double transmittance(const double& peak, const double* params, double n1, chem::rate_steps& steps) const {
    const double populations[5] = {n1, 0, 0, 0, 0};
    std::vector<double> pops(5 * grid.depth_slices);
    return chem::resolved_column(peak, vec<const double>(pulse.data(), static_cast<kelp::index>(pulse.size())),
                                 grid, vec<const double>(populations, 5), frq, params, {}, steps, pops.data());
  }
  chem::column_grid grid;
  std::vector<double> pulse;
};

TEST(ExactSteps, AgreeWithTightlyIntegratedStepsFarBelowTheGridError) {
  odepack::session integrator;
  for (const auto& [params, n1, peak] : {std::tuple{rsa, 1e20, 2e8}, std::tuple{relaxing_sa, 7e19, 1.5e9}}) {
    const column_case fine(41, 21), coarse(21, 11);
    chem::exact_rates exact(frq, params, fine.grid.dt, 0);
    tight_dlsoda integrated(fine.grid.dt);
    const double t = fine.transmittance(peak, params, n1, exact);
    const double linear = std::exp(-params[0] * n1 * 1e-3);
    const double signal = std::abs(t / linear - 1);
    chem::exact_rates exact_coarse(frq, params, coarse.grid.dt, 0);
    const double grid_error = std::abs(coarse.transmittance(peak, params, n1, exact_coarse) - t) / linear;
    EXPECT_GT(signal, 0.02);
    EXPECT_GT(grid_error, 1e-3 * signal);
    EXPECT_NEAR(t, fine.transmittance(peak, params, n1, integrated), 1e-9 * signal);
  }
}

TEST(ExactSteps, AreTheExactSolutionOfTheirInterval) {
  const double dt = 0.3e-9, intensity = 4e8;
  double n[5] = {6e19, 2e19, 1e17, 1.5e19, 4e18}, once[5], half[5], twice[5];
  // Two half intervals are one whole: what DLSODA or any truncated scheme misses.
  chem::exact_rates whole(frq, rsa, dt, 0), halves(frq, rsa, dt / 2, 0);
  whole.advance(n, intensity, once);
  halves.advance(n, intensity, half);
  halves.advance(half, intensity, twice);
  for (int l = 0; l < 5; ++l) EXPECT_NEAR(twice[l], once[l], 1e-12 * 1e20) << "level " << l + 1;

  // Two-photon pumping at rate s into a level 2 that relaxes with tau4 alone:
  // N2(dt) = N2 e^(-dt/tau4) + s tau4 (1 - e^(-dt/tau4)), and N1 loses what N2 gains.
  const double relax[8] = {0, 0, 0, 2e-9, long_time, long_time, long_time, long_time};
  const double pump = 3e-7;  // per s per (W/cm^2)^2
  chem::exact_rates pumped(frq, relax, dt, pump);
  pumped.advance(n, intensity, once);
  const double s = pump * intensity * intensity, decay = std::exp(-dt / 2e-9);
  const double n2 = n[1] * decay + s * 2e-9 * (1 - decay);
  EXPECT_NEAR(once[1], n2, 1e-13 * n2);
  EXPECT_NEAR(once[0], n[0] - (n2 - n[1]), 1e-13 * n[0]);
  EXPECT_NEAR(once[2], n[2], 1e-14 * n[0]);
}

TEST(ExactSteps, PumpingConservesTheTotalPopulation) {
  chem::exact_rates steps(frq, rsa, 0.5e-9, chem::instantaneous_law({0, 3e-12, 0}).pump(1 / (chem::planck * frq)));
  double n[5] = {1e20, 0, 0, 0, 0}, next[5];
  for (int k = 0; k < 200; ++k) {
    steps.advance(n, 3e8 * std::exp(-((k - 100) / 40.0) * ((k - 100) / 40.0)), next);
    std::memcpy(n, next, sizeof n);
  }
  EXPECT_LT(n[0], 0.9e20);  // the pump and the absorption did move population
  EXPECT_GT(n[0], 0);
  EXPECT_NEAR(n[0] + n[1] + n[2] + n[3] + n[4], 1e20, 1e-11 * 1e20);  // rounding, about 1e-14 a step
}

// dI/dz = -alpha I - beta I^2 - gamma I^3 in SI units (I in W/m^2), classical Runge-Kutta in
// many steps: the reference for the slice law, which takes I in W/cm^2.
double slice_reference(double intensity_cm2, double a, const kelp::instantaneous_absorption& c, double dz) {
  const auto f = [&](double i) { return -(a + c.alpha0) * i - c.beta * i * i - c.gamma * i * i * i; };
  double i = intensity_cm2 * 1e4;
  const int n = 200000;
  const double h = dz / n;
  for (int k = 0; k < n; ++k) {
    const double k1 = f(i), k2 = f(i + h / 2 * k1), k3 = f(i + h / 2 * k2), k4 = f(i + h * k3);
    i += h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
  }
  return i * 1e-4;
}

TEST(InstantaneousLaw, MeetsTheSliceEquation) {
  const double dz = 1e-4;
  // beta I L and gamma I^2 L from 0.01 to about 4 within the slice, with and without linear
  // absorption (of the levels or alpha0): the exact forms, and both together stepped.
  for (const kelp::instantaneous_absorption c : {kelp::instantaneous_absorption{0, 5e-11, 0},
                                                 kelp::instantaneous_absorption{2e3, 5e-11, 0},
                                                 kelp::instantaneous_absorption{0, 0, 4e-24},
                                                 kelp::instantaneous_absorption{2e3, 0, 4e-24},
                                                 kelp::instantaneous_absorption{0, 5e-11, 4e-24},
                                                 kelp::instantaneous_absorption{2e3, 5e-11, 4e-24}})
    for (double a : {0.0, 700.0})
      for (double intensity : {2e5, 2e7, 8e8}) {
        const chem::instantaneous_law law(c);
        const double out = law.transmit(intensity, a + c.alpha0, dz);
        const double reference = slice_reference(intensity, a, c, dz);
        EXPECT_NEAR(out, reference, 1e-9 * reference)
            << c.alpha0 << " " << c.beta << " " << c.gamma << ", a " << a << ", I " << intensity;
        EXPECT_LT(out, intensity * std::exp(-(a + c.alpha0) * dz));
      }
}

std::vector<double> resolved(const std::vector<double>& x, const kelp::instantaneous_absorption& c,
                             kelp::rate_steps steps = kelp::rate_steps::exact) {
  kelp::setup s;
  s.t_slices = 15;
  s.z_slices = 5;
  s.tau = 20e-12;
  kelp::open_aperture_options o;
  o.radial_nodes = 3;
  o.steps = steps;
  o.instantaneous = c;
  return kelp::open_aperture_curves(x, {1e-6}, {1e20, 0, 0, 0, 0}, rsa, s, o);
}

TEST(ResolvedModel, VanishingTermsGiveTheModelWithoutThem) {
  const std::vector<double> x = {-6, -1, 0, 2};
  const std::vector<double> without = resolved(x, {});
  EXPECT_EQ(resolved(x, {0, 0, 0}), without);
  for (std::size_t i = 0; i < x.size(); ++i) {
    // Pumping (the augmented step) and the slice law both fade with beta.
    const double small = resolved(x, {0, 1e-20, 0})[i], smaller = resolved(x, {0, 1e-21, 0})[i];
    EXPECT_LT(small, without[i]);
    EXPECT_NEAR((without[i] - small) / (without[i] - smaller), 10, 1e-3);
    EXPECT_NEAR(resolved(x, {0, 0, 1e-40})[i], without[i], 1e-12);
  }
  // The DLSODA steps agree where they apply, and refuse the pumping they do not carry.
  const kelp::instantaneous_absorption cubic{50, 0, 1e-25};
  const std::vector<double> exact = resolved(x, cubic), integrated = resolved(x, cubic, kelp::rate_steps::integrated);
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(exact[i], integrated[i], 1e-7);
  EXPECT_THROW(resolved(x, {0, 1e-11, 0}, kelp::rate_steps::integrated), kelp::invalid_argument);
  for (double bad : {-1e-12, std::nan(""), HUGE_VAL})  // gain, or no number
    for (const kelp::instantaneous_absorption c : {kelp::instantaneous_absorption{bad, 0, 0},
                                                   kelp::instantaneous_absorption{0, bad, 0},
                                                   kelp::instantaneous_absorption{0, 0, bad}})
      EXPECT_THROW(resolved(x, c), kelp::invalid_argument);
  EXPECT_THROW(resolved(x, {}, static_cast<kelp::rate_steps>(7)), kelp::invalid_argument);
}

TEST(ResolvedModel, EveryBudgetGivesTheSerialBits) {
  const std::vector<double> x = {-5, -4, -1, 0, 1, 3};
  const kelp::instantaneous_absorption c{80, 2e-11, 1e-25};
  std::vector<double> serial;
  kelp::parallel::testing::set_thread_budget(1);
  serial = resolved(x, c);
  for (int threads : {2, 5}) {
    kelp::parallel::testing::set_thread_budget(threads);
    const std::vector<double> t = resolved(x, c);
    EXPECT_EQ(std::memcmp(t.data(), serial.data(), serial.size() * sizeof(double)), 0) << threads << " threads";
  }
  kelp::parallel::testing::set_thread_budget(0);
}

}  // namespace
