// The open-aperture model's parts: the radial rule, the beam's normalisation, one column, the
// checks.  Its closed forms (saturable and reverse saturable absorbers) are checked from
// Python, where SciPy integrates them independently (tests/python/kelp/test_open_aperture.py).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "chem/open_aperture.hpp"
#include "chem/rates.hpp"
#include "errors.hpp"
#include "gauss_legendre.hpp"
#include "kelp/open_aperture.hpp"
#include "laser.hpp"

namespace {

using kelp::vec;

TEST(GaussLegendre, IntegratesPolynomialsUpToDegreeTwoNMinusOne) {
  for (int n : {1, 2, 3, 6, 7, 20}) {
    std::vector<double> x(n), w(n);
    quadrature::gauss_legendre(vec<double>(x.data(), n), vec<double>(w.data(), n));
    for (int i = 0; i < n; ++i) {
      EXPECT_GT(x[i], 0.0);
      EXPECT_LT(x[i], 1.0);
      EXPECT_GT(w[i], 0.0);
      if (i > 0) {
        EXPECT_GT(x[i], x[i - 1]);
      }
      EXPECT_NEAR(x[i] + x[n - 1 - i], 1.0, 1e-15);  // symmetric about 1/2
    }
    for (int degree = 0; degree <= 2 * n - 1; ++degree) {
      double sum = 0;
      for (int i = 0; i < n; ++i) sum += w[i] * std::pow(x[i], degree);
      EXPECT_NEAR(sum, 1.0 / (degree + 1), 1e-14) << n << " nodes, degree " << degree;
    }
    // ...and x^(2n) with the rule's error term, (n!)^4 / ((2n + 1) ((2n)!)^2) on [0, 1].
    if (n > 7) continue;  // the term falls below rounding
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += w[i] * std::pow(x[i], 2 * n);
    const double error = std::pow(std::tgamma(n + 1.0), 4) / ((2 * n + 1) * std::pow(std::tgamma(2 * n + 1.0), 2));
    EXPECT_NEAR(1.0 / (2 * n + 1) - sum, error, 1e-6 * error + 1e-15) << n << " nodes";
  }
  std::vector<double> x(2), w(3);
  EXPECT_THROW(quadrature::gauss_legendre(vec<double>(x.data(), 0), vec<double>(w.data(), 0)),
               kelp::invalid_argument);
  EXPECT_THROW(quadrature::gauss_legendre(vec<double>(x.data(), 2), vec<double>(w.data(), 3)),
               kelp::invalid_argument);
}

TEST(OpenAperturePeak, PulseEnergyIsTheIntegralOverBeamAndTime) {
  const double e = 1e-6, tau = 5e-9, w0 = 20e-6, z_r = kelp::rayleigh_range(w0, 1.0, 532e-9);
  for (double x : {0.0, z_r, -3e-3}) {
    const double w2_cm = w0 * w0 * (1 + (x / z_r) * (x / z_r)) * 1e4;
    // int exp(-2r^2/w^2) dA = pi w^2 / 2; int exp(-(t/tau)^2) dt = tau sqrt(pi).
    const double energy = kelp::open_aperture_peak(x, e, tau, w0, z_r) * (laser::pi * w2_cm / 2) * tau *
                          std::sqrt(laser::pi);
    EXPECT_NEAR(energy, e, 1e-15 * e);
  }
  EXPECT_NEAR(kelp::open_aperture_peak(z_r, e, tau, w0, z_r), kelp::open_aperture_peak(0, e, tau, w0, z_r) / 2,
              1e-6);
}

// The reverse saturable absorber of the demo: k1, k2, k3, tau4 .. tau8.
const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
const std::vector<double> ground_only = {1e20, 0, 0, 0, 0};

kelp::setup beam(int t_slices = 21, int z_slices = 7) {
  kelp::setup s;
  s.t_slices = t_slices;
  s.z_slices = z_slices;
  return s;
}

TEST(OpenApertureModel, TransparentSamplesGiveExactlyOne) {
  // Linear absorbers, which give 1 only to rounding and integrator noise, are checked from Python.
  const std::vector<double> x = {-10, -1, 0, 3};
  const std::vector<double> empty = {0, 0, 0, 0, 0};
  const double no_absorption[8] = {0, 0, 0, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
  kelp::setup thin = beam();
  thin.sample_width = 0;
  const kelp::open_aperture_options o;
  for (const auto& t : {kelp::open_aperture_curves(x, {1e-6}, empty, rsa, beam(), o),
                        kelp::open_aperture_curves(x, {1e-6}, ground_only, no_absorption, beam(), o),
                        kelp::open_aperture_curves(x, {1e-6}, ground_only, rsa, thin, o)})
    for (double v : t) EXPECT_EQ(v, 1.0);
  // The linear transmittance takes the whole sample width as the light path.
  const kelp::open_aperture_model m(ground_only, rsa, beam(), o);
  EXPECT_NEAR(m.linear_transmittance(), std::exp(-1e-18 * 1e20 * 1e-3), 1e-15);
}

TEST(OpenApertureModel, ReverseSaturableAbsorberDipsSymmetricallyAndDeeperAtHigherEnergy) {
  const std::vector<double> x = {-10, -2, 0, 2, 10};
  const std::vector<double> t = kelp::open_aperture_curves(x, {1e-6, 2e-6}, ground_only, rsa, beam(), {});
  ASSERT_EQ(t.size(), 10u);
  EXPECT_LT(t[2], 0.99);
  EXPECT_LT(t[5 + 2], t[2]);
  EXPECT_EQ(t[1], t[3]);  // mirrored positions: the same beam radius, the same bits
  EXPECT_EQ(t[0], t[4]);
  EXPECT_GT(t[0], t[1]);
  EXPECT_LT(t[0], 1.0);
}

TEST(OpenApertureModel, ColumnsAreIndependentOfWhatRanBefore) {
  // A column starts from the initial populations and sets its own coefficients, so it can run
  // on any thread in any order: a column after another model's coefficients gives the same bits.
  const kelp::open_aperture_model m(ground_only, rsa, beam(), {});
  std::vector<double> work(m.work_size());
  const double first = m.column(3, 1e8, work.data());
  const double other[8] = {1e-17, 0, 0, 1, 1, 1, 1, 1};
  chem::set_coefficients(1e15, other);
  (void)m.column(1, 5e8, work.data());
  EXPECT_EQ(m.column(3, 1e8, work.data()), first);
  EXPECT_LT(first, m.linear_transmittance());  // the column absorbs more than the linear sample
}

TEST(OpenApertureModel, RejectsInputsOutsideTheScheme) {
  const kelp::open_aperture_options o;
  const std::vector<double> x = {0};
  EXPECT_THROW(kelp::open_aperture_curves(x, {1e-6}, {1e20, 0, 0, 0}, rsa, beam(), o), kelp::invalid_argument);
  EXPECT_THROW(kelp::open_aperture_curves(x, {1e-6}, ground_only, rsa, beam(0, 7), o), kelp::invalid_argument);
  EXPECT_THROW(kelp::open_aperture_curves(x, {1e-6}, ground_only, rsa, beam(21, 0), o), kelp::invalid_argument);
  const auto options = [](std::int32_t nodes, double window) {
    kelp::open_aperture_options o;
    o.radial_nodes = nodes;
    o.time_window = window;
    return o;
  };
  for (const kelp::open_aperture_options bad : {options(0, 3.0), options(101, 3.0), options(6, 0.0),
                                                options(6, std::nan(""))})
    EXPECT_THROW(kelp::open_aperture_curves(x, {1e-6}, ground_only, rsa, beam(), bad), kelp::invalid_argument);
  // One position is enough (no wing level to take), and no positions give no values.
  EXPECT_EQ(kelp::open_aperture_curves(x, {1e-6}, ground_only, rsa, beam(5, 3), o).size(), 1u);
  EXPECT_TRUE(kelp::open_aperture_curves({}, {1e-6}, ground_only, rsa, beam(5, 3), o).empty());
}

}  // namespace
