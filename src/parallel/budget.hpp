// The process's thread budget: how many threads may integrate at once.  Every call that
// integrates (a fit_zscan call, a forward-model evaluation) holds one slot for its calling
// thread; a call may borrow free slots for helper threads, so that k calls from k threads
// never run more integrating threads than the budget.
#pragma once

#include "api.hpp"

namespace kelp::parallel {

/// The budget: KELP_THREADS when it names a count of 1 or more (1 gives the serial path),
/// else the CPUs this process may run on (sched_getaffinity).  Read once per process.
KELP_API int thread_budget();

// The slot of a calling thread, held for its life: blocks until a slot is free.  Only the
// outermost slot on a thread takes one, and a helper thread, which runs on a slot borrowed
// for it, takes none.
class KELP_API caller_slot {
 public:
  caller_slot();
  ~caller_slot();
  caller_slot(const caller_slot&) = delete;
  caller_slot& operator=(const caller_slot&) = delete;

 private:
  bool held_ = false;
};

namespace detail {
/// The budget in force (thread_budget(), or what a test set).
int current_budget() noexcept;
/// Borrows up to `wanted` free slots for helper threads, none while a caller waits for one:
/// calls come before helpers.  Returns how many it got.
int borrow_slots(int wanted) noexcept;
/// Gives back `count` borrowed slots.
void return_slots(int count) noexcept;
/// Whether a calling thread is waiting for a slot (a helper then steps aside between tasks).
bool callers_waiting() noexcept;
/// Marks this thread as running on a borrowed slot: caller slots on it take nothing.
void mark_helper_thread() noexcept;
/// A thread that holds a slot and now only waits for its helpers lends it out meanwhile, so
/// that the helpers' own tasks may borrow it: returns whether it lent one.
bool lend_slot() noexcept;
/// Whether this thread holds a slot now (a caller's or a borrowed one).
bool holds_slot() noexcept;
/// Takes a slot back after lend_slot, waiting for one as a caller does.
void reclaim_slot();
}  // namespace detail

namespace testing {
/// Replaces the budget (at least 1) for what starts from now on; 0 restores the process's own.
KELP_API void set_thread_budget(int threads) noexcept;
/// The most slots that were in use at once since the last reset, and a reset.
KELP_API int peak_slots_in_use() noexcept;
KELP_API void reset_peak_slots() noexcept;
}  // namespace testing

}  // namespace kelp::parallel
