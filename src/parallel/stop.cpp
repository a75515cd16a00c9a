#include "parallel/stop.hpp"

#include <atomic>
#include <new>
#include <thread>

namespace kelp::parallel {

namespace {

// Each cancel_running_calls() starts a new generation; a call stops when the generation it
// started in has ended.
std::atomic<unsigned long> generation{0};

thread_local detail::call_state* this_thread_call = nullptr;

}  // namespace

struct detail::call_state {
  std::atomic<bool> stop{false};
  stoppable_call::poll_fn poll = nullptr;
  void* poll_arg = nullptr;
  std::thread::id home;
  unsigned long generation = 0;
};

stoppable_call::stoppable_call(poll_fn poll, void* arg) {
  if (this_thread_call) return;  // nested: the outer call decides
  state_ = new detail::call_state;
  state_->poll = poll;
  state_->poll_arg = arg;
  state_->home = std::this_thread::get_id();
  state_->generation = generation.load();
  this_thread_call = state_;
}

stoppable_call::~stoppable_call() {
  if (!state_) return;
  this_thread_call = nullptr;
  delete state_;
}

bool stoppable_call::stopped() const noexcept { return state_ ? state_->stop.load() : stop_requested(); }

bool stop_requested() noexcept {
  detail::call_state* c = this_thread_call;
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

detail::call_state* detail::current_call() noexcept { return this_thread_call; }

void detail::work_for(call_state* call) noexcept { this_thread_call = call; }

}  // namespace kelp::parallel
