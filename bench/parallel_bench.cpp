// Prints what one fit call costs on one thread and on every core, with and without mirrored
// positions integrated once, and whether every variant gives the same bits.  Figures only: the
// machines are shared and noisy, so compare within one run.
//
//   kelp_parallel_bench
//
// The case: 3 scans of 41 positions at 0.5, 1 and 2 uJ, 21 x 11 points, k1 and k2 fitted
// from 1.3 times their true values, 3 starts, on data made by the model itself.  Once
// on a scan centred on the focus (every position but one mirrored), once on a scan centred
// 5 mm off its middle (15 of 41 positions mirrored).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "chem/propagation.hpp"
#include "kelp/api/calls.hpp"
#include "kelp/forward.hpp"
#include "kelp/starts.hpp"
#include "parallel/budget.hpp"

namespace {

const double truth[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};
constexpr int n_x = 41, n_d = 3, n_starts = 3;

struct outcome {
  std::vector<double> spec, residuals, errors;
  double seconds = 0;
};

outcome fit(double first_position) {
  kelp::setup s;  // 21 x 11, 5 ns, 532 nm, 20 um, 1 mm
  std::vector<double> x_one;
  for (int i = 0; i < n_x; ++i) x_one.push_back(first_position + i);
  const std::vector<double> energies = {0.5e-6, 1e-6, 2e-6}, ground = {1e20, 0, 0, 0, 0};
  const std::vector<double> y = kelp::model_curves(x_one, energies, ground, truth, s);
  std::vector<double> x;
  for (int k = 0; k < n_d; ++k) x.insert(x.end(), x_one.begin(), x_one.end());
  // The dip of the model's own curve is at 0 mm, where fit_zscan would centre: no shift.
  std::vector<double> start(truth, truth + 8);
  start[0] *= 1.3;
  start[1] *= 1.3;
  const std::vector<std::int32_t> one_based = {1, 2};

  outcome o;
  o.spec.resize(n_starts * 8);
  o.residuals.resize(n_starts * x.size());
  o.errors.resize(n_starts);
  for (int i = 0; i < n_starts; ++i)
    for (int l = 0; l < 8; ++l) o.spec[i * 8 + l] = start[l];
  const std::vector<double> multipliers = kelp::start_multipliers(n_starts);
  const std::vector<std::int32_t> zero_based = {0, 1};

  kelp::fit_arrays a;
  a.centered_x = {x.data(), static_cast<kelp::index>(x.size())};
  a.y_data = {y.data(), static_cast<kelp::index>(y.size())};
  a.populations = {ground.data(), 5};
  a.pulse_energy = {energies.data(), n_d};
  a.one_based_indices = {one_based.data(), 2};
  a.n_fit = 2;
  a.all_spec_pars = {o.spec.data(), n_starts, 8};
  a.all_residuals = {o.residuals.data(), n_starts, static_cast<kelp::index>(x.size())};
  a.all_errors = {o.errors.data(), n_starts};
  kelp::fill_start_values(a.all_spec_pars, {start.data(), 8}, {zero_based.data(), 2},
                             {multipliers.data(), n_starts}, n_starts);
  kelp::fit_settings fs;
  fs.t_slices = s.t_slices;
  fs.z_slices = s.z_slices;
  fs.sample_width = s.sample_width;
  fs.tau = s.tau;
  fs.wavelength = s.wavelength;
  fs.w0 = s.w0;
  fs.M2 = s.M2;
  fs.num_x_pts = n_x;
  fs.num_datasets = n_d;

  const auto t0 = std::chrono::steady_clock::now();
  kelp::fit_starts(a, fs, n_starts);  // fit_zscan's call, without its Python part
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return o;
}

bool same_bits(const outcome& a, const outcome& b) {
  auto eq = [](const std::vector<double>& u, const std::vector<double>& v) {
    return u.size() == v.size() && std::memcmp(u.data(), v.data(), u.size() * sizeof(double)) == 0;
  };
  return eq(a.spec, b.spec) && eq(a.residuals, b.residuals) && eq(a.errors, b.errors);
}

}  // namespace

int main() {
  const int cores = kelp::parallel::thread_budget();
  std::printf("fit call: 3 scans x 41 positions, 21 x 11, k1 and k2, 3 starts; %d cores\n", cores);
  // The starts far from the truth make DLSODA write thousands of messages: they are counted,
  // not printed, so that the figures stay readable.
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  kelp::message_sink sink(null_fd);
  kelp::context_scope messages(&sink, nullptr);
  for (double first : {-20.0, -15.0}) {
    std::printf("\nscan %s\n", first == -20.0 ? "centred on the focus (20 of 41 positions mirrored)"
                                              : "centred 5 mm off its middle (15 of 41 positions mirrored)");
    struct variant {
      const char* name;
      int threads;
      bool reuse;
    };
    const variant variants[] = {{"1 thread, no reuse (the serial path before)", 1, false},
                                {"1 thread, mirror reuse", 1, true},
                                {"all cores, no reuse", cores, false},
                                {"all cores, mirror reuse", cores, true}};
    outcome reference;
    double serial = 0, one_reuse = 0, all_plain = 0;
    for (const variant& v : variants) {
      kelp::parallel::testing::set_thread_budget(v.threads);
      chem::testing::reuse_mirrored_positions(v.reuse);
      const outcome o = fit(first);
      if (v.threads == 1 && !v.reuse) reference = o, serial = o.seconds;
      if (v.threads == 1 && v.reuse) one_reuse = o.seconds;
      if (v.threads != 1 && !v.reuse) all_plain = o.seconds;
      std::printf("  %-46s %8.2f s  x%4.2f  same bits: %s\n", v.name, o.seconds, serial / o.seconds,
                  same_bits(o, reference) ? "yes" : "NO");
      if (v.threads != 1 && v.reuse)
        std::printf("  all cores / 1 thread: x%.2f without reuse, x%.2f with reuse (target >= 1.8)\n",
                    serial / all_plain, one_reuse / o.seconds);
    }
    kelp::parallel::testing::set_thread_budget(0);
    for (bool reuse : {false, true}) {
      // One evaluation of the three scans: 2 DLSODA calls per time point and slice of each
      // position integrated.
      chem::testing::reuse_mirrored_positions(reuse);
      std::vector<double> x_one;
      for (int i = 0; i < n_x; ++i) x_one.push_back(first + i);
      const std::uint64_t before = chem::integrated_positions();
      (void)kelp::model_curves(x_one, {0.5e-6, 1e-6, 2e-6}, {1e20, 0, 0, 0, 0}, truth, kelp::setup{});
      const std::uint64_t positions = chem::integrated_positions() - before;
      std::printf("  DLSODA calls per model evaluation %s: %llu (%llu positions)\n",
                  reuse ? "with mirror reuse   " : "without mirror reuse", 
                  static_cast<unsigned long long>(positions * 21 * 11 * 2), static_cast<unsigned long long>(positions));
    }
    chem::testing::reuse_mirrored_positions(true);
  }
  std::printf("\nDLSODA messages (discarded): %llu\n", static_cast<unsigned long long>(sink.count.load()));
  ::close(null_fd);
  return 0;
}
