#include "integrator/sink.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "call/context.hpp"

namespace odepack {

void write_message(const char* text, std::size_t n) noexcept {
  kelp::message_sink* sink = kelp::current_call_context().sink;
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
