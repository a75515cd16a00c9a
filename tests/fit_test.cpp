// The fit driver, the residual function and the core entry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "call/context.hpp"
#include "chem/context.hpp"
#include "chem/fit.hpp"
#include "errors.hpp"
#include "kelp/fit_zscan_data.hpp"
#include "kelp/forward.hpp"
#include "memory.hpp"

#include <sys/resource.h>

namespace {

// The address space of this process capped at what it maps now plus `extra` bytes, for as
// long as the cap lives: a huge allocation then fails on any machine, however much memory it
// has.  Under AddressSanitizer, whose shadow memory needs an unlimited address space, the
// sanitizer run caps the allocation size instead (max_allocation_size_mb).
class address_space_cap {
 public:
  explicit address_space_cap(long long extra) {
#if !defined(__SANITIZE_ADDRESS__)
    getrlimit(RLIMIT_AS, &old_);
    long pages = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    rlimit cap = old_;
    cap.rlim_cur = static_cast<rlim_t>(pages) * 4096 + static_cast<rlim_t>(extra);
    active_ = pages > 0 && setrlimit(RLIMIT_AS, &cap) == 0;
#else
    (void)extra;
#endif
  }
  ~address_space_cap() {
    if (active_) setrlimit(RLIMIT_AS, &old_);
  }
  address_space_cap(const address_space_cap&) = delete;
  address_space_cap& operator=(const address_space_cap&) = delete;

 private:
  rlimit old_{};
  bool active_ = false;
};

using kelp::index;
using kelp::vec;

// A model that is cheap and exactly fittable: T = p1 + p2 x (x in metres), with a record of
// what it was handed.
thread_local std::vector<double> seen_positions, seen_params;
thread_local int model_calls = 0, throw_on_call = 0;
thread_local void (*inside_model)() = nullptr;

void line_model(const vec<const double>& positions, const vec<const double>&, const vec<const double>&,
                const vec<const double>&, const kelp::mat<const double>&, const double&, const double* p,
                const vec<double>& result) {
  if (++model_calls == throw_on_call) throw kelp::memory_error("Error allocating 8 bytes");
  if (inside_model) inside_model();
  seen_positions.assign(positions.size(), 0);
  for (index j = 1; j <= positions.size(); ++j) seen_positions[j - 1] = positions(j);
  seen_params.assign(p, p + 8);
  for (index j = 1; j <= positions.size(); ++j) result(j) = p[0] + p[1] * positions(j);
}

double weight(double x) {
  const double two_x = 2 * x;
  return 4 * std::exp(-(two_x * two_x)) + 1;
}

// Inputs of one fit_scan call on the line model: num_datasets scans of num_x_pts points.
struct line_fit {
  int num_x_pts, num_datasets;
  std::vector<double> x, y, z = {0, 1e-4}, t = {0, 1e-9}, pop = {1, 0, 0, 0, 0}, table, residuals;
  std::vector<double> spec = {0.1, 1.0, 13, 14, 15, 16, 17, 18};
  double error = -1;

  line_fit(int points, int datasets) : num_x_pts(points), num_datasets(datasets) {
    const int m = points * datasets;
    x.resize(m);
    y.resize(m);
    residuals.assign(m, -7);
    table.assign(points * 2 * datasets, 1.0);
    for (int n = 0; n < m; ++n) {
      x[n] = (n % points - points / 2) * 0.2;
      y[n] = 0.3 + 2 * x[n] + ((n % 2) ? 0.01 : -0.01);  // not exactly on the line
    }
  }
  void run(std::vector<std::int32_t> indices) {
    chem::fit_scan(vec<const double>(x.data(), (index)x.size()), vec<const double>(y.data(), (index)y.size()),
                   line_model, vec<const double>(z.data(), 2), vec<const double>(t.data(), 2),
                   vec<const double>(pop.data(), 5),
                   kelp::cube<const double>(table.data(), num_x_pts, 2, num_datasets),
                   vec<double>(residuals.data(), (index)residuals.size()), 5.6e14, vec<double>(spec.data(), 8),
                   num_x_pts, num_datasets, vec<const std::int32_t>(indices.data(), (index)indices.size()),
                   static_cast<std::int32_t>(indices.size()), error);
  }
  // sqrt(sum w (y - model)^2) at the current spec, through MINPACK's own norm.
  double weighted_norm() {
    std::vector<double> v(x.size());
    for (std::size_t n = 0; n < x.size(); ++n)
      v[n] = (y[n] - (spec[0] + spec[1] * x[n])) * std::sqrt(weight(x[n]));
    int m = static_cast<int>(v.size());
    return minpack::enorm_(&m, v.data());
  }
};

class FitScan : public ::testing::Test {
 protected:
  void SetUp() override {
    model_calls = throw_on_call = 0;
    inside_model = nullptr;
  }
  void TearDown() override { EXPECT_TRUE(chem::context().idle()); }
};

TEST_F(FitScan, FitsTheLineAndReportsWeightedErrorWithUnweightedResiduals) {
  line_fit f(7, 2);
  f.run({1, 2});
  EXPECT_NEAR(f.spec[0], 0.3, 1e-3);
  EXPECT_NEAR(f.spec[1], 2.0, 1e-3);
  EXPECT_EQ(f.error, f.weighted_norm());
  for (std::size_t n = 0; n < f.x.size(); ++n) EXPECT_EQ(f.residuals[n], f.y[n] - (f.spec[0] + f.spec[1] * f.x[n]));
  EXPECT_EQ(f.spec[2], 13);  // never fitted, never written
  EXPECT_EQ(f.spec[7], 18);
  EXPECT_EQ(seen_params[7], 18);
  EXPECT_EQ(std::vector<double>(f.x.begin() + 7, f.x.end()), seen_positions);
}

TEST_F(FitScan, ARepeatedIndexLetsTheLaterEntryWin) {
  line_fit f(7, 1);
  f.run({2, 1, 1});  // the trial value of entry 2 is ignored by the model, entry 3's is used
  EXPECT_NEAR(f.spec[0], 0.3, 1e-3);
  EXPECT_NEAR(f.spec[1], 2.0, 1e-3);
}

TEST_F(FitScan, RejectedFitsEvaluateTheStartValuesOnce) {
  for (std::vector<std::int32_t> indices : {std::vector<std::int32_t>{}, std::vector<std::int32_t>(6, 1)}) {
    line_fit f(5, 1);  // 5 residuals: no parameters, or more parameters than residuals
    const std::vector<double> start = f.spec;
    model_calls = 0;
    f.run(indices);
    EXPECT_EQ(f.spec, start);
    EXPECT_EQ(model_calls, 2);  // the defined evaluation and the final residuals
    EXPECT_EQ(f.error, f.weighted_norm());
    for (std::size_t n = 0; n < f.x.size(); ++n) EXPECT_EQ(f.residuals[n], f.y[n] - (0.1 + 1.0 * f.x[n]));
  }
}

// The progress display reads the count from another thread; other threads' fits stay out of it.
TEST_F(FitScan, CountsResidualEvaluationsOfItsOwnThreadOnly) {
  kelp::evaluation_counter counter;
  line_fit f(7, 2);
  {
    kelp::context_scope scope(nullptr, &counter);
    std::thread other([] {
      line_fit g(7, 1);
      g.run({1, 2});
    });
    other.join();
    model_calls = 0;
    f.run({1, 2});
  }
  // Every fcn call evaluates both scans; the final residuals add one model call per scan.
  const std::uint64_t counted = counter.count.load();
  EXPECT_GT(counted, 2u);
  EXPECT_EQ(counted, static_cast<std::uint64_t>(model_calls - 2) / 2);
  f.run({1, 2});  // the scope has ended: no longer counted
  EXPECT_EQ(counter.count.load(), counted);
}

TEST_F(FitScan, AModelFailureUnwindsAndLeavesTheThreadReady) {
  line_fit f(7, 1);
  const std::vector<double> start = f.spec;
  throw_on_call = 3;
  EXPECT_THROW(f.run({1, 2}), kelp::memory_error);
  EXPECT_TRUE(chem::context().idle());
  EXPECT_EQ(f.spec, start);  // nothing written back from a fit that did not finish
  throw_on_call = 0;
  f.run({1, 2});
  EXPECT_NEAR(f.spec[1], 2.0, 1e-3);
  f.run({1});
  EXPECT_TRUE(chem::context().idle());
}

TEST_F(FitScan, RejectsExtentsThatWouldReadOutOfBounds) {
  line_fit f(7, 1);
  EXPECT_THROW(f.run({0}), kelp::invalid_argument);
  EXPECT_THROW(f.run({9}), kelp::invalid_argument);
  f.residuals.resize(6);
  EXPECT_THROW(f.run({1}), kelp::invalid_argument);
}

void reenter_fit() {
  inside_model = nullptr;
  line_fit inner(5, 1);
  inner.run({1});
}

TEST(FitScanDeathTest, EnteringAFitInProgressEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        inside_model = reenter_fit;
        line_fit f(5, 1);
        f.run({1});
      },
      ::testing::ExitedWithCode(2),
      "At line 231 of file ../src/chem\nRuntime error: Attempting to allocate already allocated variable "
      "'cb_fit_indices'");
}

// The core entry on the real model, with grids small enough for a test.
const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};

struct entry_call {
  std::int32_t t_slices = 7, z_slices = 5, num_x_pts = 15, num_datasets = 2, n_pop = 5, n_res;
  double sample_width = 1e-3, tau = 1e-10, wavelength = 532e-9, w0 = 20e-6, M2 = 1.0, error = -1;
  std::vector<double> x, y, pop = {1e20, 0, 0, 0, 0}, energy = {0.05e-6, 0.1e-6}, residuals;
  std::vector<double> spec = std::vector<double>(rsa, rsa + 8);
  std::vector<std::int32_t> indices;

  entry_call() {
    kelp::setup s;
    s.t_slices = t_slices;
    s.z_slices = z_slices;
    s.tau = tau;
    std::vector<double> scan_x;
    for (int i = 0; i < num_x_pts; ++i) scan_x.push_back((i - num_x_pts / 2) * 2.0);  // mm, focus included
    y = kelp::model_curves(scan_x, energy, pop, rsa, s);
    for (int k = 0; k < num_datasets; ++k) x.insert(x.end(), scan_x.begin(), scan_x.end());
    n_res = num_x_pts * num_datasets;
    residuals.assign(n_res, -7);
  }
  void run() {
    std::int32_t n_fit = static_cast<std::int32_t>(indices.size());
    fit_zscan_data(x.data(), y.data(), pop.data(), residuals.data(), &error, &t_slices, &z_slices, &sample_width,
                   &tau, &wavelength, &w0, &M2, energy.data(), spec.data(), indices.data(), &n_fit, &num_x_pts,
                   &num_datasets, &n_pop, &n_res);
  }
};

TEST(CoreEntry, RecoversACrossSectionFromNoiseFreeScans) {
  entry_call c;
  c.spec[1] = 2e-17;  // k2 a factor 2 off
  c.indices = {2};
  c.run();
  EXPECT_NEAR(c.spec[1], 1e-17, 1e-3 * 1e-17) << "fitted k2 " << c.spec[1] << ", error " << c.error;
  EXPECT_LT(c.error, 1e-4);
  for (int l : {0, 2, 3, 4, 5, 6, 7}) EXPECT_EQ(c.spec[l], rsa[l]);
  EXPECT_TRUE(chem::context().idle());
}

TEST(CoreEntry, UnfittedCallMatchesTheForwardModelInMetres) {
  // No fitted parameter: the residuals are the data minus the model at the start values, which
  // the forward model computes from the same millimetre positions.
  entry_call c;
  c.y[3] += 0.01;
  c.spec[1] = 3e-17;
  c.indices = {};
  c.run();
  kelp::setup s;
  s.t_slices = c.t_slices;
  s.z_slices = c.z_slices;
  s.tau = c.tau;
  const double params[8] = {rsa[0], 3e-17, rsa[2], rsa[3], rsa[4], rsa[5], rsa[6], rsa[7]};
  const std::vector<double> model =
      kelp::model_curves(std::vector<double>(c.x.begin(), c.x.begin() + c.num_x_pts), c.energy, c.pop, params, s);
  for (int n = 0; n < c.n_res; ++n) EXPECT_EQ(c.residuals[n], c.y[n] - model[n]);
  EXPECT_GT(c.error, std::sqrt(0.0)) << "the start values do not fit";
}

TEST(CoreEntry, ShortResidualCountLeavesTheTailAlone) {
  entry_call c;
  c.n_res = c.num_x_pts * c.num_datasets - 3;
  c.run();
  for (int n = 0; n < c.n_res; ++n) EXPECT_NE(c.residuals[n], -7);
  for (std::size_t n = c.n_res; n < c.residuals.size(); ++n) EXPECT_EQ(c.residuals[n], -7);
}

TEST(CoreEntry, IrradianceTableScalesWithEnergyAndPeaksOnAxis) {
  const int n_x = 3, n_t = 3;
  std::vector<double> x = {-0.001, 0, 0.002, -0.001, 0, 0.002}, t(n_t), table(n_x * n_t * 2), z(2);
  const double tau = 5e-9, w0 = 20e-6, e[2] = {1e-6, 2e-6};
  kelp::fill_grids(1e-3, tau, vec<double>(z.data(), 2), vec<double>(t.data(), n_t));
  kelp::fill_irradiance(vec<double>(x.data(), 6), vec<double>(t.data(), n_t), e, tau, w0,
                        kelp::rayleigh_range(w0, 1, 532e-9), kelp::cube<double>(table.data(), n_x, n_t, 2));
  for (int n = 0; n < n_x * n_t; ++n) EXPECT_EQ(table[n_x * n_t + n], 2 * table[n]);
  const double peak = table[1 + n_x * 1];  // position 0, middle time sample
  EXPECT_NEAR(peak, 0.94 * 1e-6 / tau * 2e-4 / (3.141592653589793 * w0 * w0), 1e-15 * peak);
}

TEST(CoreEntry, RejectsCountsTheModelCannotUseBeforeWritingAnything) {
  struct bad {
    void (*spoil)(entry_call&);
    const char* message;
  };
  const bad cases[] = {
      {[](entry_call& c) { c.num_x_pts = 4; }, "num_x_pts: expected at least 5, got 4"},
      {[](entry_call& c) { c.num_datasets = 0; }, "num_datasets: expected at least 1, got 0"},
      {[](entry_call& c) { c.t_slices = 1; }, "t_slices: expected at least 2, got 1"},
      {[](entry_call& c) { c.z_slices = -2; }, "z_slices: expected at least 2, got -2"},
      {[](entry_call& c) { c.n_pop = 4; }, "n_pop: expected 5, got 4"},
      {[](entry_call& c) { c.n_res = 31; }, "n_res: expected 0 to 30, got 31"},
      {[](entry_call& c) { c.indices = {2, 9}; }, "fit_indices[1]: expected 1 to 8, got 9"},
      {[](entry_call& c) { c.num_x_pts = INT32_MAX; }, "num_x_pts * num_datasets: expected at most 2147483647, got 4294967294"},
  };
  for (const bad& b : cases) {
    entry_call c;
    b.spoil(c);
    try {
      c.run();
      ADD_FAILURE() << "accepted: " << b.message;
    } catch (const kelp::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), b.message);
    }
    EXPECT_EQ(c.error, -1);
    EXPECT_EQ(c.residuals[0], -7);
  }
}

TEST(CoreEntry, ExhaustedMemoryRaisesAndTheNextFitWorks) {
  entry_call reference;
  reference.num_datasets = 1;
  reference.num_x_pts = 5;
  reference.n_res = 5;
  reference.t_slices = reference.z_slices = 2;
  reference.indices = {2};
  reference.spec[1] = 1.5e-17;
  entry_call failing = reference;
  reference.run();

  // Fail each allocation in turn, until the whole fit gets through.
  int failures = 0;
  for (int k = 1;; ++k) {
    entry_call c = failing;
    kelp::fail_allocation_after(k);
    try {
      c.run();
      kelp::fail_allocation_after(0);
      EXPECT_EQ(c.spec, reference.spec);
      EXPECT_EQ(c.error, reference.error);
      break;
    } catch (const kelp::memory_error& e) {
      ++failures;
      EXPECT_EQ(std::string(e.what()).rfind("Error allocating ", 0), 0u) << e.what();
      EXPECT_TRUE(chem::context().idle());
    }
  }
  EXPECT_GT(failures, 10);

  entry_call huge = failing;
  huge.t_slices = INT32_MAX / 2;  // the table alone would need ~43 GB
  {
    address_space_cap cap(1ll << 30);
    EXPECT_THROW(huge.run(), kelp::memory_error);
  }
  huge.num_x_pts = INT32_MAX;
  huge.t_slices = INT32_MAX;
  try {
    huge.run();
    ADD_FAILURE() << "an irradiance table of 2^62 elements was accepted";
  } catch (const kelp::memory_error& e) {
    EXPECT_STREQ(e.what(), "Integer overflow when calculating the amount of memory to allocate");
  }
  entry_call again = failing;
  again.run();
  EXPECT_EQ(again.spec, reference.spec);
}

}  // namespace
