// What a caller attaches to the threads that work for one of its calls: where the integrator's
// messages go, a count of the fit's residual evaluations, and the call's stop state.  The
// three travel together as one call_context: the calling thread enters it, and every helper
// thread that computes a piece of the call enters the same value, so a message written on a
// helper reaches the caller's sink, its evaluations the caller's counter, and a stop of the
// call reaches every thread of it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "api.hpp"

namespace kelp {

/// A destination for the integrator's messages and the number of messages written to it.  By
/// default DLSODA's messages go to standard output, as ODEPACK's own routine writes them; a
/// caller that must keep standard output clean (the kelp command writing a CSV there) sends
/// them to a descriptor of its choice.  Shared by every thread of the calls it is entered for.
///
/// A bounded sink writes only its first `head` messages to the descriptor; of the rest it keeps
/// the last tail_size bytes in memory (tail()) and counts them, so that no input, however
/// badly it makes the integrator fail, can fill a disk or a terminal with messages.
struct message_sink {
  explicit message_sink(int fd) noexcept : fd(fd) {}
  /// Throws std::bad_alloc when the tail cannot be had.
  message_sink(int fd, std::uint64_t head, std::size_t tail_size)
      : fd(fd), head(head), tail_size(tail_size), ring(tail_size ? new char[tail_size] : nullptr) {}
  message_sink(const message_sink&) = delete;
  message_sink& operator=(const message_sink&) = delete;

  const int fd;                          // owned by whoever made the sink
  std::atomic<std::uint64_t> count{0};   // calls of the message routine that wrote here
  const std::uint64_t head = std::numeric_limits<std::uint64_t>::max();  // messages written to fd
  const std::size_t tail_size = 0;       // bytes of the later messages kept, the latest last

  /// Copies the kept bytes of the messages beyond the head into out (tail_size bytes), oldest
  /// first, from a line's start once the ring has wrapped; returns how many.  Safe beside
  /// threads that write messages.
  KELP_API std::size_t tail(char* out) noexcept;

  // The ring of kept bytes, written under `busy` by whichever thread writes a message.
  std::unique_ptr<char[]> ring;
  std::atomic_flag busy;
  std::uint64_t ring_bytes = 0;  // bytes ever put in the ring
};

/// A count of the fit's residual evaluations, for a caller that shows how a long fit is going;
/// read from any thread while the fit runs.
struct evaluation_counter {
  evaluation_counter() = default;
  evaluation_counter(const evaluation_counter&) = delete;
  evaluation_counter& operator=(const evaluation_counter&) = delete;

  std::atomic<std::uint64_t> count{0};  // calls of fcn, each one evaluation of every scan
};

namespace detail {
struct stop_state;  // a stoppable call's (call/stop.hpp)
}  // namespace detail

/// The context of the call a thread works for.  Each part may be null: messages then go to
/// standard output, evaluations are not counted, and nothing can stop the call.
struct call_context {
  message_sink* sink = nullptr;
  evaluation_counter* evaluations = nullptr;
  detail::stop_state* stop = nullptr;
};

/// This thread's context.
KELP_API call_context current_call_context() noexcept;

/// Makes a context this thread's while it lives; scopes nest, and each restores the whole
/// context it found.
class KELP_API context_scope {
 public:
  explicit context_scope(const call_context& context) noexcept;
  /// This thread's context with its messages sent to `sink` and its evaluations counted in
  /// `counter` (a null one keeps what is in force), its stop state unchanged.
  context_scope(message_sink* sink, evaluation_counter* counter) noexcept;
  ~context_scope();
  context_scope(const context_scope&) = delete;
  context_scope& operator=(const context_scope&) = delete;

 private:
  call_context previous_;
};

/// Asks every stoppable call running now (fit_zscan's, on any thread) to stop at its next
/// residual evaluation; calls that start later are not affected.
KELP_API void cancel_running_calls() noexcept;

}  // namespace kelp
