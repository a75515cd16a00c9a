#include "odepack.hpp"

#include <atomic>
#include <cassert>
#include <mutex>

#include "odepack_copies.hpp"

#ifndef KELP_PRIVATE_INTEGRATOR
#define KELP_PRIVATE_INTEGRATOR 1
#endif

namespace odepack {

namespace {

using detail::library_copy;

std::mutex shared_instance;
std::atomic<bool> shared_forced{false};

// Idle private copies.  Copies are never unloaded: the pool lives as long as the process, and
// is never destroyed, so that threads still integrating at exit find it intact.
struct pool {
  std::mutex lock;
  library_copy* idle = nullptr;
  std::size_t loaded = 0;
  bool closed = false;  // a copy failed to load or to pass its check: load no more
};

pool& copies() {
  static pool* const p = new pool;
  return *p;
}

// Takes an idle copy, or loads one while the pool is open; nullptr means the shared instance.
library_copy* check_out(pool& p) {
  std::lock_guard<std::mutex> g(p.lock);
  if (library_copy* c = p.idle) {
    p.idle = c->next;
    return c;
  }
  if (p.closed) return nullptr;
  library_copy* c = detail::load_copy(detail::deep_bind_usable);
  if (c) ++p.loaded;
  else p.closed = true;
  return c;
}

void check_in(pool& p, library_copy* c) {
  std::lock_guard<std::mutex> g(p.lock);
  c->next = p.idle;
  p.idle = c;
}

thread_local int session_depth = 0;
thread_local library_copy* held = nullptr;            // the private copy of this thread's session
thread_local detail::dlsoda_entry current = nullptr;  // the DLSODA this thread calls

}  // namespace

session::session() {
  if (session_depth > 0) {
    ++session_depth;
    return;
  }
  if (KELP_PRIVATE_INTEGRATOR && !shared_forced.load(std::memory_order_relaxed)) held = check_out(copies());
  if (held) {
    current = held->dlsoda;
  } else {
    current = detail::shared_dlsoda();
    shared_instance.lock();
  }
  session_depth = 1;
}

session::~session() {
  if (--session_depth > 0) return;
  if (held) {
    check_in(copies(), held);
    held = nullptr;
  } else {
    shared_instance.unlock();
  }
  current = nullptr;
}

bool private_instances() {
  if (!KELP_PRIVATE_INTEGRATOR || shared_forced.load()) return false;
  pool& p = copies();
  if (library_copy* c = check_out(p)) {
    check_in(p, c);
    return true;
  }
  return false;
}

std::size_t instances_loaded() {
  pool& p = copies();
  std::lock_guard<std::mutex> g(p.lock);
  return p.loaded;
}

void testing::use_shared_instance(bool on) { shared_forced.store(on); }

void dlsoda(rhs_fn f, const f_int* neq, double* y, double* t, const double* tout, const f_int* itol,
            const double* rtol, const double* atol, const f_int* itask, f_int* istate, const f_int* iopt,
            double* rwork, const f_int* lrw, f_int* iwork, const f_int* liw, jac_fn jac, const f_int* jt) {
  assert(session_depth > 0);
  if (session_depth == 0) {  // a caller that forgot its session still gets an instance of its own
    session s;
    current(f, neq, y, t, tout, itol, rtol, atol, itask, istate, iopt, rwork, lrw, iwork, liw, jac, jt);
    return;
  }
  current(f, neq, y, t, tout, itol, rtol, atol, itask, istate, iopt, rwork, lrw, iwork, liw, jac, jt);
}

}  // namespace odepack
