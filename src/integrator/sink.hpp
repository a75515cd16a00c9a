// Where DLSODA's messages go: the message sink of the call this thread works for
// (kelp::call_context), or standard output, as ODEPACK's own routine writes them, when the
// call has none.
#pragma once

#include <cstddef>

namespace odepack {

/// Writes one whole message to this thread's sink and counts it, or to standard output
/// through C stdio (flushed) when no sink is entered.  Failures to write are ignored: a
/// message must never stop an integration.
void write_message(const char* text, std::size_t n) noexcept;

}  // namespace odepack
