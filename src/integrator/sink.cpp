#include "integrator/sink.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace odepack {

namespace {
// Per thread: the integrations of one thread belong to one call at a time.
thread_local message_sink* current = nullptr;
}  // namespace

sink_scope::sink_scope(message_sink& sink) noexcept : previous_(current) { current = &sink; }

sink_scope::~sink_scope() { current = previous_; }

message_sink* current_sink() noexcept { return current; }

void write_message(const char* text, std::size_t n) noexcept {
  message_sink* sink = current;
  if (!sink) {
    // The default path stays in stdio, so that messages keep their order with whatever else
    // the host prints on standard output.
    std::fwrite(text, 1, n, stdout);
    std::fflush(stdout);
    return;
  }
  // One write per message where the descriptor allows it, so that the messages of threads
  // sharing a sink do not interleave within a line.
  while (n > 0) {
    const ssize_t written = ::write(sink->fd, text, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    text += written;
    n -= static_cast<std::size_t>(written);
  }
  sink->count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace odepack
