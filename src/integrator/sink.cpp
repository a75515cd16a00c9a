#include "integrator/sink.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "call/context.hpp"

namespace {

// A spin lock: the message routine runs inside DLSODA, where nothing may throw, and the copy it
// guards is short.
class ring_lock {
 public:
  explicit ring_lock(std::atomic_flag& f) noexcept : f_(f) {
    while (f_.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~ring_lock() { f_.clear(std::memory_order_release); }
  ring_lock(const ring_lock&) = delete;
  ring_lock& operator=(const ring_lock&) = delete;

 private:
  std::atomic_flag& f_;
};

void keep(kelp::message_sink& sink, const char* text, std::size_t n) noexcept {
  if (sink.tail_size == 0) return;
  ring_lock lock(sink.busy);
  if (n > sink.tail_size) {  // only the message's end fits
    text += n - sink.tail_size;
    n = sink.tail_size;
  }
  for (std::size_t i = 0; i < n; ++i) sink.ring[(sink.ring_bytes + i) % sink.tail_size] = text[i];
  sink.ring_bytes += n;
}

}  // namespace

namespace kelp {

std::size_t message_sink::tail(char* out) noexcept {
  if (tail_size == 0) return 0;
  ring_lock lock(busy);
  const bool wrapped = ring_bytes > tail_size;
  const std::size_t kept = wrapped ? tail_size : static_cast<std::size_t>(ring_bytes);
  const std::uint64_t first = ring_bytes - kept;
  for (std::size_t i = 0; i < kept; ++i) out[i] = ring[(first + i) % tail_size];
  if (!wrapped) return kept;
  // The oldest bytes may be the end of a line whose start was overwritten.
  const void* newline = std::memchr(out, '\n', kept);
  if (!newline) return 0;
  const std::size_t skip = static_cast<std::size_t>(static_cast<const char*>(newline) - out) + 1;
  std::memmove(out, out + skip, kept - skip);
  return kept - skip;
}

}  // namespace kelp

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
  // Beyond its head a bounded sink keeps only the latest messages, in memory.
  if (sink->count.fetch_add(1, std::memory_order_relaxed) >= sink->head) {
    keep(*sink, text, n);
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
}

}  // namespace odepack
