#include "call/stop.hpp"

#include <atomic>
#include <thread>

namespace kelp {

namespace {

// Each cancel_running_calls() starts a new generation; a call stops when the generation it
// started in has ended.
std::atomic<unsigned long> generation{0};

}  // namespace

struct detail::stop_state {
  std::atomic<bool> stop{false};
  stoppable_call::poll_fn poll = nullptr;
  void* poll_arg = nullptr;
  std::thread::id home;
  unsigned long generation = 0;
};

namespace {

// A call nested in another on the same thread makes no state of its own: the outer call decides.
std::unique_ptr<detail::stop_state> new_state(stoppable_call::poll_fn poll, void* arg) {
  if (current_call_context().stop) return nullptr;
  auto s = std::make_unique<detail::stop_state>();
  s->poll = poll;
  s->poll_arg = arg;
  s->home = std::this_thread::get_id();
  s->generation = generation.load();
  return s;
}

call_context with_stop(detail::stop_state* state) noexcept {
  call_context c = current_call_context();
  if (state) c.stop = state;
  return c;
}

}  // namespace

stoppable_call::stoppable_call(poll_fn poll, void* arg) : state_(new_state(poll, arg)), scope_(with_stop(state_.get())) {}

stoppable_call::~stoppable_call() = default;

bool stoppable_call::stopped() const noexcept { return state_ ? state_->stop.load() : stop_requested(); }

bool stop_requested() noexcept {
  detail::stop_state* c = current_call_context().stop;
  if (!c) return false;
  if (c->stop.load(std::memory_order_relaxed)) return true;
  if (generation.load(std::memory_order_relaxed) != c->generation ||
      (c->poll && std::this_thread::get_id() == c->home && c->poll(c->poll_arg))) {
    c->stop.store(true);
    return true;
  }
  return false;
}

void cancel_running_calls() noexcept { generation.fetch_add(1); }

}  // namespace kelp
