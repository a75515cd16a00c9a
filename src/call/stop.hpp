// Stopping a call early: Ctrl-C on the calling thread, or every running call at once (a tool
// that gives up on a batch).  The fit checks between residual evaluations, so a call stops
// within about one model evaluation of the request.  The stop state is part of the call's
// context (call/context.hpp), so the helper threads that run the call's tasks see it too.
#pragma once

#include <memory>

#include "api.hpp"
#include "call/context.hpp"

namespace kelp {

// The calling thread's call, for its life.  `poll`, when given, runs on the calling thread
// only, at each check: it returns true to stop the call (for example when a signal is pending
// for the interpreter).
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
  std::unique_ptr<detail::stop_state> state_;  // null for a call nested in another on this thread
  context_scope scope_;                        // declared after state_: left before it is freed
};

/// Whether the call this thread works for should stop now.  On the calling thread this runs
/// the call's poll.  False outside any stoppable call.
KELP_API bool stop_requested() noexcept;

}  // namespace kelp
