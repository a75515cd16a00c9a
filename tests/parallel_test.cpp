// One call spread over threads: the thread budget, the tasks, and both models evaluated with
// positions (and radial nodes) on several threads and mirrored positions copied, always to
// the serial bits; the call's context on every thread that works for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "call/stop.hpp"
#include "chem/propagation.hpp"
#include "kelp/forward.hpp"
#include "kelp/open_aperture.hpp"
#include "parallel/budget.hpp"
#include "parallel/tasks.hpp"

namespace {

namespace parallel = kelp::parallel;

// Sets the budget for one test and restores the process's own at its end.
struct budget_of {
  explicit budget_of(int n) { parallel::testing::set_thread_budget(n); }
  ~budget_of() { parallel::testing::set_thread_budget(0); }
};

const double rsa[8] = {1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13};

std::vector<double> positions(double first, int n) {
  std::vector<double> x;
  for (int i = 0; i < n; ++i) x.push_back(first + i);  // mm, exact integers: mirrors are exact
  return x;
}

std::vector<double> curves(const std::vector<double>& x_mm) {
  kelp::setup s;
  s.t_slices = 9;
  s.z_slices = 5;
  s.tau = 1e-10;
  return kelp::model_curves(x_mm, {1e-6, 3e-6}, {1e20, 0, 0, 0, 0}, rsa, s);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(ParallelModel, EveryBudgetGivesTheSerialBits) {
  // A symmetric scan (every position but the centre mirrored) and one 5 mm off its middle.
  for (const std::vector<double>& x : {positions(-20, 41), positions(-15, 41), positions(-3.5, 12)}) {
    std::vector<double> serial;
    {
      budget_of one(1);
      parallel::testing::reset_peak_slots();
      serial = curves(x);
      EXPECT_EQ(parallel::testing::peak_slots_in_use(), 1);
    }
    for (int threads : {2, 3, 7}) {
      budget_of b(threads);
      EXPECT_TRUE(same_bits(curves(x), serial)) << threads << " threads";
    }
    chem::testing::reuse_mirrored_positions(false);
    EXPECT_TRUE(same_bits(curves(x), serial)) << "without reuse";
    chem::testing::reuse_mirrored_positions(true);
  }
}

TEST(ParallelModel, MirroredPositionsAreIntegratedOnce) {
  auto integrated = [](const std::vector<double>& x) {
    const std::uint64_t before = chem::integrated_positions();
    (void)curves(x);
    return chem::integrated_positions() - before;
  };
  // Two scans each time: the count is per scan.
  EXPECT_EQ(integrated(positions(-20, 41)), 2u * 21);      // (n + 1) / 2
  EXPECT_EQ(integrated(positions(-15, 41)), 2u * (41 - 15));  // 15 of 41 mirrored
  EXPECT_EQ(integrated(positions(0.5, 9)), 2u * 9);        // nothing mirrored
  chem::testing::reuse_mirrored_positions(false);
  EXPECT_EQ(integrated(positions(-20, 41)), 2u * 41);
  chem::testing::reuse_mirrored_positions(true);
}

std::vector<double> open_aperture(const std::vector<double>& x_mm, const std::vector<double>& energies = {1e-6, 3e-6}) {
  kelp::setup s;
  s.t_slices = 7;
  s.z_slices = 3;
  s.tau = 5e-9;
  kelp::open_aperture_options o;
  o.radial_nodes = 3;
  return kelp::open_aperture_curves(x_mm, energies, {1e20, 0, 0, 0, 0}, rsa, s, o);
}

TEST(ParallelOpenAperture, EveryBudgetGivesTheSerialBits) {
  for (const std::vector<double>& x : {positions(-6, 13), positions(-3, 12)}) {
    std::vector<double> serial;
    {
      budget_of one(1);
      parallel::testing::reset_peak_slots();
      serial = open_aperture(x);
      EXPECT_EQ(parallel::testing::peak_slots_in_use(), 1);
    }
    for (int threads : {2, 5}) {
      budget_of b(threads);
      EXPECT_TRUE(same_bits(open_aperture(x), serial)) << threads << " threads";
    }
    kelp::testing::reuse_open_aperture_positions(false);
    EXPECT_TRUE(same_bits(open_aperture(x), serial)) << "without reuse";
    kelp::testing::reuse_open_aperture_positions(true);
    // Positions are independent: each value is the one the position gives alone.
    for (std::size_t i = 0; i < x.size(); i += 5)
      EXPECT_EQ(open_aperture({x[i]}, {3e-6})[0], serial[x.size() + i]) << x[i] << " mm";
  }
}

TEST(ParallelOpenAperture, EqualPeaksAreIntegratedOnce) {
  auto integrated = [](const std::vector<double>& x, const std::vector<double>& energies) {
    const std::uint64_t before = kelp::open_aperture_columns();
    (void)open_aperture(x, energies);
    return kelp::open_aperture_columns() - before;
  };
  // Three radial nodes per distinct position, the scans counted together.
  EXPECT_EQ(integrated(positions(-6, 13), {1e-6, 3e-6}), 3u * 2 * 7);       // (n + 1) / 2 per scan
  EXPECT_EQ(integrated(positions(-3, 12), {1e-6, 3e-6}), 3u * 2 * (12 - 3));  // 3 of 12 mirrored
  EXPECT_EQ(integrated(positions(-6, 13), {1e-6, 1e-6}), 3u * 7);           // a repeated scan too
  EXPECT_EQ(integrated(positions(0.5, 5), {1e-6}), 3u * 5);                 // nothing mirrored
  kelp::testing::reuse_open_aperture_positions(false);
  EXPECT_EQ(integrated(positions(-6, 13), {1e-6, 3e-6}), 3u * 2 * 13);
  kelp::testing::reuse_open_aperture_positions(true);
}

TEST(Tasks, EachRunsOnceAndTheLowestFailureIsRethrown) {
  budget_of b(4);
  std::vector<std::atomic<int>> runs(200);
  parallel::for_each_task(200, [&](std::int64_t i) { ++runs[static_cast<std::size_t>(i)]; });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);

  // Tasks 40 and 41 fail; the one run one after another would have met first is rethrown,
  // and no task starts after a failure was seen beyond those already under way.
  std::atomic<int> started{0};
  try {
    parallel::for_each_task(1000, [&](std::int64_t i) {
      ++started;
      if (i > 41) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (i == 41) throw std::runtime_error("41");
      if (i == 40) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        throw std::runtime_error("40");
      }
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "40");
  }
  EXPECT_LT(started.load(), 1000);
}

TEST(Budget, ConcurrentCallersNeverExceedIt) {
  budget_of b(2);
  parallel::testing::reset_peak_slots();
  std::vector<std::thread> callers;
  for (int k = 0; k < 5; ++k)
    callers.emplace_back([] {
      parallel::caller_slot slot;
      parallel::for_each_task(8, [](std::int64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    });
  for (std::thread& t : callers) t.join();
  EXPECT_LE(parallel::testing::peak_slots_in_use(), 2);
}

TEST(Stop, ACancelReachesRunningCallsAndTheirHelpersOnly) {
  budget_of b(3);
  std::atomic<int> seen_stopped{0};
  std::atomic<bool> go{false};
  std::thread caller([&] {
    kelp::stoppable_call call;
    parallel::for_each_task(3, [&](std::int64_t) {
      while (!go.load()) std::this_thread::yield();
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!kelp::stop_requested() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      if (kelp::stop_requested()) ++seen_stopped;
    });
    EXPECT_TRUE(call.stopped());
  });
  go = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kelp::cancel_running_calls();
  caller.join();
  EXPECT_EQ(seen_stopped.load(), 3);  // the caller and both helpers
  kelp::stoppable_call later;         // begun after the cancel: not stopped
  EXPECT_FALSE(kelp::stop_requested());
}

bool same_context(const kelp::call_context& a, const kelp::call_context& b) {
  return a.sink == b.sink && a.evaluations == b.evaluations && a.stop == b.stop;
}

// A watch attached around a stoppable call: every task, on whichever thread, sees the whole
// context of the caller, and each scope gives back what it found.
TEST(CallContext, EveryThreadOfACallWorksInTheCallersContext) {
  budget_of b(3);
  kelp::message_sink sink(-1);
  kelp::evaluation_counter counter;
  const kelp::call_context outside = kelp::current_call_context();
  {
    kelp::stoppable_call call;
    const kelp::call_context stoppable = kelp::current_call_context();
    ASSERT_NE(stoppable.stop, nullptr);
    {
      kelp::context_scope watched(&sink, &counter);
      const kelp::call_context caller = kelp::current_call_context();
      EXPECT_TRUE(same_context(caller, {&sink, &counter, stoppable.stop}));
      {
        kelp::stoppable_call nested;  // the outer call decides
        EXPECT_TRUE(same_context(kelp::current_call_context(), caller));
      }
      std::atomic<int> other_context{0};
      std::vector<std::thread::id> threads(12);
      parallel::for_each_task(12, [&](std::int64_t i) {
        if (!same_context(kelp::current_call_context(), caller)) ++other_context;
        threads[static_cast<std::size_t>(i)] = std::this_thread::get_id();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      });
      EXPECT_EQ(other_context.load(), 0);
      EXPECT_GT(std::count_if(threads.begin(), threads.end(),
                              [&](std::thread::id t) { return t != std::this_thread::get_id(); }),
                0);
      std::thread unrelated([] { EXPECT_TRUE(same_context(kelp::current_call_context(), {})); });
      unrelated.join();
    }
    EXPECT_TRUE(same_context(kelp::current_call_context(), stoppable));
  }
  EXPECT_TRUE(same_context(kelp::current_call_context(), outside));
}

}  // namespace
