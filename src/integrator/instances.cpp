// Which DLSODA instance each integrating thread calls: a private copy from the pool, or the
// linked library under the process-wide lock.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "integrator/copies.hpp"
#include "odepack.hpp"

namespace odepack {

namespace {

using detail::library_copy;

std::mutex shared_instance;
std::atomic<bool> shared_forced{false};

// KELP_INTEGRATOR, read once: whether this process may use private copies at all.
struct integrator_choice {
  bool private_copies = true;
  std::string reason;  // why not, when not
};

const integrator_choice& choice() {
  static const integrator_choice c = [] {
    integrator_choice r;
    const char* v = std::getenv("KELP_INTEGRATOR");
    if (!v || !*v || std::strcmp(v, "private") == 0) return r;
    if (std::strcmp(v, "shared") == 0) {
      r.private_copies = false;
      r.reason = "KELP_INTEGRATOR=shared";
      return r;
    }
    // An unknown value must not silently change how fits run: say so and keep the default.
    std::fprintf(stderr, "kelp: KELP_INTEGRATOR=%s is neither private nor shared; using private\n", v);
    return r;
  }();
  return c;
}

// Idle private copies.  Copies are never unloaded: the pool lives as long as the process, and
// is never destroyed, so that threads still integrating at exit find it intact.  Its lock is
// also the loader lock: every load, check and patch of a copy happens under it.
struct pool {
  std::mutex lock;
  library_copy* idle = nullptr;
  std::size_t loaded = 0;
  std::string refused;  // non-empty once a copy failed to load or to pass its check: load no more
};

pool& copies() {
  static pool* const p = new pool;
  return *p;
}

// A closed pool costs every later fit its parallelism: the user is told once, with the reason.
void say_closed(const std::string& reason) noexcept {
  std::fprintf(stderr, "kelp: private integrator copies unavailable (%s); fits run one at a time\n", reason.c_str());
  std::fflush(stderr);
}

// Takes an idle copy, or loads one while the pool is open; nullptr means the shared instance.
library_copy* check_out(pool& p) {
  std::lock_guard<std::mutex> g(p.lock);
  if (library_copy* c = p.idle) {
    p.idle = c->next;
    return c;
  }
  if (!p.refused.empty()) return nullptr;
  std::string why;
  library_copy* c = detail::load_copy(detail::deep_bind_usable, &why);
  if (c) {
    ++p.loaded;
  } else {
    p.refused = why.empty() ? "no reason given" : why;
    say_closed(p.refused);
  }
  return c;
}

void check_in(pool& p, library_copy* c) {
  std::lock_guard<std::mutex> g(p.lock);
  c->next = p.idle;
  p.idle = c;
}

bool private_wanted() { return choice().private_copies && !shared_forced.load(std::memory_order_relaxed); }

thread_local int session_depth = 0;
thread_local library_copy* held = nullptr;            // the private copy of this thread's session
thread_local detail::dlsoda_entry current = nullptr;  // the DLSODA this thread calls

}  // namespace

session::session() {
  if (session_depth > 0) {
    ++session_depth;
    return;
  }
  if (private_wanted()) held = check_out(copies());
  if (held) {
    current = held->dlsoda;
  } else {
    // The linked library is examined (and its message routine bound) under the loader lock.
    {
      std::lock_guard<std::mutex> g(copies().lock);
      current = detail::shared_dlsoda();
    }
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

bool detail::lend_instance() noexcept {
  if (session_depth == 0 || !held) return false;
  check_in(copies(), held);
  held = nullptr;
  current = nullptr;
  return true;
}

void detail::reclaim_instance() noexcept {
  held = check_out(copies());
  if (held) {
    current = held->dlsoda;
    return;
  }
  {
    std::lock_guard<std::mutex> g(copies().lock);
    current = detail::shared_dlsoda();
  }
  shared_instance.lock();
}

bool holds_shared_instance() noexcept { return session_depth > 0 && held == nullptr; }

bool load_private_instance() {
  if (!private_wanted()) return false;
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

std::string shared_instance_reason() {
  if (!choice().private_copies) return choice().reason;
  if (shared_forced.load()) return "forced by a test";
  pool& p = copies();
  std::lock_guard<std::mutex> g(p.lock);
  return p.refused;
}

void testing::use_shared_instance(bool on) { shared_forced.store(on); }

void dlsoda(rhs_fn f, const f_int* neq, double* y, double* t, const double* tout, const f_int* itol,
            const double* rtol, const double* atol, const f_int* itask, f_int* istate, const f_int* iopt,
            double* rwork, const f_int* lrw, f_int* iwork, const f_int* liw, jac_fn jac, const f_int* jt) {
  if (session_depth == 0) {
    // Without a session this thread has no instance of its own: calling one anyway could run
    // beside another thread on the same COMMON blocks.
    std::fputs("kelp: internal error: DLSODA called without an integrator session\n", stderr);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(2);
  }
  current(f, neq, y, t, tout, itol, rtol, atol, itask, istate, iopt, rwork, lrw, iwork, liw, jac, jt);
}

}  // namespace odepack
