// Independent pieces of one call spread over threads: the positions of a scan, the starts of
// a fit.  Each piece computes exactly what it would compute alone, and the caller combines
// the pieces in their own order, so the results are the same bits whatever the threads.
#pragma once

#include <cstdint>
#include <type_traits>

#include "api.hpp"

namespace kelp::parallel {

using task_fn = void (*)(void* context, std::int64_t task);

/// Runs fn(context, i) for every i in [0, n): on the calling thread and on as many helper
/// threads as free slots of the budget can be borrowed for (at most n - 1; none while the
/// calling thread integrates on the shared instance).  Tasks start in the order of i, each on
/// whichever thread is free.  A helper holds an integrator session of its own and enters the
/// caller's call context (its stop state, message sink and evaluation counter); it steps aside between tasks when another call waits
/// for a slot.  Once a task throws, no further task starts; when every started task has
/// ended, the exception of the lowest-numbered task that threw is rethrown (the one the tasks
/// would have thrown run one after another).
KELP_API void run_tasks(std::int64_t n, task_fn fn, void* context);

/// run_tasks with a callable taking the task number.
template <class F>
void for_each_task(std::int64_t n, F&& f) {
  run_tasks(n, [](void* c, std::int64_t i) { (*static_cast<std::remove_reference_t<F>*>(c))(i); },
            const_cast<void*>(static_cast<const void*>(&f)));
}

}  // namespace kelp::parallel
