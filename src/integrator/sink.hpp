// Where DLSODA's messages go.  By default they go to standard output, as ODEPACK's own routine
// writes them; a caller that must keep standard output clean (the kelp command writing a CSV
// there) routes the messages of its integrations to a descriptor of its choice instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "api.hpp"

namespace odepack {

/// A destination for the integrator's messages and the number of messages written to it.  One
/// sink may serve several threads that integrate on behalf of one call: each enters it with a
/// sink_scope of its own, and the count is shared.
struct message_sink {
  explicit message_sink(int fd) noexcept : fd(fd) {}
  message_sink(const message_sink&) = delete;
  message_sink& operator=(const message_sink&) = delete;

  const int fd;                          // owned by whoever made the sink
  std::atomic<std::uint64_t> count{0};   // calls of the message routine that wrote here
};

/// Routes the messages of this thread's integrations to `sink` while it lives; scopes nest and
/// each restores the destination it found.
class KELP_API sink_scope {
 public:
  explicit sink_scope(message_sink& sink) noexcept;
  ~sink_scope();
  sink_scope(const sink_scope&) = delete;
  sink_scope& operator=(const sink_scope&) = delete;

 private:
  message_sink* previous_;
};

/// This thread's sink; nullptr while none is entered (messages then go to standard output).
KELP_API message_sink* current_sink() noexcept;

/// Writes one whole message to this thread's sink and counts it, or to standard output
/// through C stdio (flushed) when no sink is entered.  Failures to write are ignored: a
/// message must never stop an integration.
void write_message(const char* text, std::size_t n) noexcept;

}  // namespace odepack
