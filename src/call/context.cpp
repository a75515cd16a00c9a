#include "call/context.hpp"

namespace kelp {

namespace {
// Per thread: a thread works for one call at a time.
thread_local call_context current;
}  // namespace

call_context current_call_context() noexcept { return current; }

context_scope::context_scope(const call_context& context) noexcept : previous_(current) { current = context; }

context_scope::context_scope(message_sink* sink, evaluation_counter* counter) noexcept : previous_(current) {
  if (sink) current.sink = sink;
  if (counter) current.evaluations = counter;
}

context_scope::~context_scope() { current = previous_; }

void count_evaluation() noexcept {
  if (evaluation_counter* c = current.evaluations) c->count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace kelp
