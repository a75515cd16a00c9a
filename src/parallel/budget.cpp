#include "parallel/budget.hpp"

#include <sched.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace kelp::parallel {

namespace {

int budget_from_environment() {
  if (const char* v = std::getenv("KELP_THREADS"); v && *v) {
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (*end == '\0' && n >= 1 && n <= 4096) return static_cast<int>(n);
    // A typo must not silently change how many cores a fit uses.
    std::fprintf(stderr, "kelp: KELP_THREADS=%s is not a count of 1 or more; using the CPUs available\n", v);
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n >= 1) return n;
  }
  return 1;
}

struct slots {
  std::mutex lock;
  std::condition_variable freed;
  int override_budget = 0;  // testing: 0 means the process's own
  int in_use = 0;
  int peak = 0;
  int waiting = 0;  // callers blocked for a slot

  int budget() const { return override_budget > 0 ? override_budget : thread_budget(); }
  void take(int n) {
    in_use += n;
    if (in_use > peak) peak = in_use;
  }
};

slots& state() {
  static slots* const s = new slots;  // never destroyed: threads may still hold slots at exit
  return *s;
}

thread_local int caller_depth = 0;
thread_local bool helper_thread = false;
thread_local bool slot_held = false;  // a caller's slot, or the helper's borrowed one

void wait_and_take(slots& s, std::unique_lock<std::mutex>& g) {
  ++s.waiting;
  s.freed.wait(g, [&] { return s.in_use < s.budget(); });
  --s.waiting;
  s.take(1);
  slot_held = true;
}

}  // namespace

int thread_budget() {
  static const int n = budget_from_environment();
  return n;
}

caller_slot::caller_slot() {
  if (helper_thread || caller_depth++ > 0) return;
  slots& s = state();
  std::unique_lock<std::mutex> g(s.lock);
  wait_and_take(s, g);
  held_ = true;
}

caller_slot::~caller_slot() {
  if (helper_thread) return;
  --caller_depth;
  if (!held_) return;
  slot_held = false;
  slots& s = state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    --s.in_use;
  }
  s.freed.notify_all();
}

int detail::current_budget() noexcept {
  slots& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.budget();
}

int detail::borrow_slots(int wanted) noexcept {
  if (wanted <= 0) return 0;
  slots& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.waiting > 0) return 0;
  const int free = s.budget() - s.in_use;
  const int got = free < wanted ? (free > 0 ? free : 0) : wanted;
  s.take(got);
  return got;
}

void detail::return_slots(int count) noexcept {
  if (count <= 0) return;
  slots& s = state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.in_use -= count;
  }
  s.freed.notify_all();
}

bool detail::callers_waiting() noexcept {
  slots& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.waiting > 0;
}

void detail::mark_helper_thread() noexcept { helper_thread = slot_held = true; }

bool detail::lend_slot() noexcept {
  if (!slot_held) return false;
  slots& s = state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    --s.in_use;
  }
  slot_held = false;
  s.freed.notify_all();
  return true;
}

bool detail::holds_slot() noexcept { return slot_held; }

void detail::reclaim_slot() {
  slots& s = state();
  std::unique_lock<std::mutex> g(s.lock);
  wait_and_take(s, g);
}

void testing::set_thread_budget(int threads) noexcept {
  slots& s = state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.override_budget = threads > 0 ? threads : 0;
  }
  s.freed.notify_all();
}

int testing::peak_slots_in_use() noexcept {
  slots& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.peak;
}

void testing::reset_peak_slots() noexcept {
  slots& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.peak = s.in_use;
}

}  // namespace kelp::parallel
