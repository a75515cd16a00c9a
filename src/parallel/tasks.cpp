#include "parallel/tasks.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "call/context.hpp"
#include "call/stop.hpp"
#include "odepack.hpp"
#include "parallel/budget.hpp"

namespace kelp::parallel {

namespace {

struct batch {
  std::int64_t n = 0;
  task_fn fn = nullptr;
  void* context = nullptr;
  // The call the calling thread works for: the helpers work for it too.
  call_context call;
  std::atomic<std::int64_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex lock;
  std::condition_variable helper_done;
  int helpers_running = 0;
  std::exception_ptr error;
  std::int64_t error_task = std::numeric_limits<std::int64_t>::max();
};

void work(batch& b, bool helper) {
  while (!b.failed.load(std::memory_order_relaxed)) {
    if (helper && detail::callers_waiting()) return;  // another call's thread needs this slot
    const std::int64_t i = b.next.fetch_add(1);
    if (i >= b.n) return;
    try {
      b.fn(b.context, i);
    } catch (...) {
      std::lock_guard<std::mutex> g(b.lock);
      if (i < b.error_task) b.error_task = i, b.error = std::current_exception();
      b.failed.store(true);
    }
  }
}

void helper_main(batch* b) {
  detail::mark_helper_thread();
  {
    context_scope context(b->call);
    odepack::session integrator;
    work(*b, true);
  }
  detail::return_slots(1);
  std::lock_guard<std::mutex> g(b->lock);
  if (--b->helpers_running == 0) b->helper_done.notify_all();
}

}  // namespace

void run_tasks(std::int64_t n, task_fn fn, void* context) {
  if (n <= 0) return;
  batch b;
  b.n = n;
  b.fn = fn;
  b.context = context;
  b.call = current_call_context();
  // A caller on the shared instance holds its lock: helpers would wait for it, and it for them.
  // The calling thread is one of the budget's threads: it borrows for the others.
  const int others = detail::current_budget() - 1;
  const int wanted = odepack::holds_shared_instance() ? 0 : n - 1 < others ? static_cast<int>(n - 1) : others;
  const int borrowed = detail::borrow_slots(wanted);
  std::vector<std::thread> helpers;
  int started = 0;
  try {
    helpers.reserve(static_cast<std::size_t>(borrowed));
    for (; started < borrowed; ++started) {
      {
        std::lock_guard<std::mutex> g(b.lock);
        ++b.helpers_running;
      }
      try {
        helpers.emplace_back(helper_main, &b);
      } catch (...) {
        std::lock_guard<std::mutex> g(b.lock);
        --b.helpers_running;
        throw;
      }
    }
  } catch (...) {
    // No thread to be had (or no memory for its record): the calling thread does the rest.
  }
  detail::return_slots(borrowed - started);

  work(b, false);
  bool lent = false, lent_instance = false;
  {
    // While the helpers finish, the calling thread keeps answering stop requests (its poll
    // is what notices Ctrl-C), and lends its slot: a last long task on a helper may then
    // spread its own work over it.
    std::unique_lock<std::mutex> g(b.lock);
    if (b.helpers_running > 0 && detail::holds_slot()) {
      // The copy goes back before the slot: whoever takes the slot then finds an idle copy,
      // so the copies loaded never outnumber the budget.
      lent_instance = odepack::detail::lend_instance();
      lent = detail::lend_slot();
    }
    while (b.helpers_running > 0)
      if (!b.helper_done.wait_for(g, std::chrono::milliseconds(50), [&] { return b.helpers_running == 0; })) {
        g.unlock();
        (void)stop_requested();
        g.lock();
      }
  }
  for (std::thread& t : helpers) t.join();
  if (lent) detail::reclaim_slot();
  if (lent_instance) odepack::detail::reclaim_instance();
  if (b.error) std::rethrow_exception(b.error);
}

}  // namespace kelp::parallel
