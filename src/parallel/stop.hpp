// Stopping a call early: Ctrl-C on the calling thread, or every running call at once (a tool
// that gives up on a batch).  The fit checks between residual evaluations, so a call stops
// within about one model evaluation of the request.
#pragma once

#include "api.hpp"

namespace kelp::parallel {

namespace detail {
struct call_state;
}  // namespace detail

// The calling thread's call, for its life: the helper threads that run its tasks work for it
// too.  `poll`, when given, runs on the calling thread only, at each check: it returns true to
// stop the call (for example when a signal is pending for the interpreter).
class KELP_API stoppable_call {
 public:
  using poll_fn = bool (*)(void* arg) noexcept;
  explicit stoppable_call(poll_fn poll = nullptr, void* arg = nullptr);
  ~stoppable_call();
  stoppable_call(const stoppable_call&) = delete;
  stoppable_call& operator=(const stoppable_call&) = delete;

  /// Whether a stop was requested while the call ran.
  bool stopped() const noexcept;

 private:
  detail::call_state* state_ = nullptr;  // null for a call nested in another on this thread
};

/// Whether the call this thread works for should stop now.  On the calling thread this runs
/// the call's poll.  False outside any stoppable call.
KELP_API bool stop_requested() noexcept;

/// Asks every stoppable call running now to stop at its next check; calls that start later
/// are not affected.
KELP_API void cancel_running_calls() noexcept;

namespace detail {
/// The call this thread works for (null outside one), to hand to a helper thread.
call_state* current_call() noexcept;
/// Makes this (helper) thread work for `call`.
void work_for(call_state* call) noexcept;
}  // namespace detail

}  // namespace kelp::parallel
