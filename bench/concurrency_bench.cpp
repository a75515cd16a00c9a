// Concurrent model evaluations: the same set of independent evaluations run serially, then on
// 2 threads and on as many threads as there are cores, each thread holding one integrator
// session around its share as a fit call does around its starts; for comparison, 2 threads
// on the shared instance under its lock.  Prints wall times (best of the repeats, the runs
// taking turns), the throughput against the serial run, whether every result matched the
// serial one bit for bit, and what loading one private integrator copy costs.  Exits 1 when a
// result differs.
//
//   kelp_concurrency_bench [evaluations [repeats [positions t_slices z_slices]]]
//   defaults: 12 evaluations, best of 3, 41 positions x 21 times x 11 slices, 5 ns pulses
//
// The machines are shared: compare figures within one run only, and rerun when they look
// disturbed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "kelp/forward.hpp"
#include "odepack.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct workload {
  std::vector<double> x_mm;
  kelp::setup beam;
  std::vector<std::vector<double>> spec_pars;
  std::vector<double> energies;

  std::vector<double> evaluate(std::size_t i) const {
    double p[8];
    std::copy(spec_pars[i].begin(), spec_pars[i].end(), p);
    return kelp::model_curves(x_mm, {energies[i]}, {1e20, 0, 0, 0, 0}, p, beam);
  }
};

// The reverse saturable absorber of the forward model, its excited-state cross-section and
// pulse energy varied so that no two evaluations are alike.
workload make_workload(int evaluations, int positions, int t_slices, int z_slices) {
  workload w;
  for (int i = 0; i < positions; ++i) w.x_mm.push_back(-20.0 + 40.0 * i / (positions - 1));
  w.beam.t_slices = t_slices;
  w.beam.z_slices = z_slices;
  for (int i = 0; i < evaluations; ++i) {
    w.spec_pars.push_back({1e-18, 1e-17 * (1 + 0.1 * i), 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13});
    w.energies.push_back(i % 2 ? 2e-6 : 1e-6);
  }
  return w;
}

using results = std::vector<std::vector<double>>;

// Every evaluation once, on `threads` threads that take the next one left.
double run(const workload& w, int threads, results& out) {
  out.assign(w.energies.size(), {});
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    odepack::session integrator;
    for (std::size_t i; (i = next++) < out.size();) out[i] = w.evaluate(i);
  };
  const auto start = clock_type::now();
  if (threads == 1) {
    worker();
  } else {
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
  }
  return seconds_since(start);
}

bool same_bits(const results& a, const results& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].size() != b[i].size() || std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(double)) != 0)
      return false;
  return true;
}

// The first session of the process loads the first copy (the library file was read and
// checked when the program was loaded); a second thread integrating at the same time makes
// the pool load one more.
void report_load_times() {
  auto start = clock_type::now();
  const bool isolated = odepack::load_private_instance();
  const double first = seconds_since(start);
  if (!isolated) {
    std::printf("integrator: the linked instance under a lock (no private copies)\n");
    return;
  }
  double another = 0;
  {
    odepack::session holding;  // keeps the first copy busy
    std::thread t([&] {
      const auto s = clock_type::now();
      odepack::session second;
      another = seconds_since(s);
    });
    t.join();
  }
  std::printf("integrator: private copies; loading one took %.2f ms (the first), %.2f ms (a second)\n",
              first * 1e3, another * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  const int evaluations = argc > 1 ? std::atoi(argv[1]) : 12;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  const int positions = argc > 5 ? std::atoi(argv[3]) : 41;
  const int t_slices = argc > 5 ? std::atoi(argv[4]) : 21;
  const int z_slices = argc > 5 ? std::atoi(argv[5]) : 11;
  if (evaluations < 1 || repeats < 1 || positions < 5 || t_slices < 2 || z_slices < 2) {
    std::fprintf(stderr, "usage: kelp_concurrency_bench [evaluations [repeats [positions t_slices z_slices]]]\n");
    return 2;
  }
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::printf("%d model evaluations of %d positions x %d times x %d slices, best of %d, %d cores\n", evaluations,
              positions, t_slices, z_slices, repeats, cores);
  report_load_times();

  const workload w = make_workload(evaluations, positions, t_slices, z_slices);
  results serial, parallel;
  (void)w.evaluate(0);  // warm up
  // The runs take turns, so that a disturbance from outside falls on all of them alike.
  std::vector<int> counts;
  for (int threads : std::set<int>{2, cores}) counts.push_back(threads);
  std::vector<double> best(counts.size(), 1e300);
  std::vector<bool> match(counts.size(), true);
  double serial_time = 1e300, locked_time = 1e300;
  bool locked_match = true;
  for (int r = 0; r < repeats; ++r) {
    serial_time = std::min(serial_time, run(w, 1, serial));
    for (std::size_t c = 0; c < counts.size(); ++c) {
      best[c] = std::min(best[c], run(w, counts[c], parallel));
      match[c] = match[c] && same_bits(parallel, serial);
    }
    // The fallback for comparison: the linked instance, its sessions taking turns on the lock.
    odepack::testing::use_shared_instance(true);
    locked_time = std::min(locked_time, run(w, 2, parallel));
    odepack::testing::use_shared_instance(false);
    locked_match = locked_match && same_bits(parallel, serial);
  }
  std::printf("%-26s %8.3f s  (%.1f ms per evaluation)\n", "serial", serial_time, serial_time / evaluations * 1e3);
  bool all_match = locked_match;
  for (std::size_t c = 0; c < counts.size(); ++c) {
    all_match = all_match && match[c];
    std::printf("%d threads%17s %8.3f s  throughput x%.2f (target x%.2f)  bit for bit as serial: %s\n", counts[c], "",
                best[c], serial_time / best[c], 0.9 * std::min(counts[c], cores), match[c] ? "yes" : "NO");
  }
  std::printf("%-26s %8.3f s  throughput x%.2f                 bit for bit as serial: %s\n",
              "2 threads, shared instance", locked_time, serial_time / locked_time, locked_match ? "yes" : "NO");
  std::printf("private copies loaded: %zu\n", odepack::instances_loaded());
  return all_match ? 0 : 1;
}
