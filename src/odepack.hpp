// Binding of ODEPACK's DLSODA, the integrator that switches between Adams (non-stiff) and
// BDF (stiff) methods.  Every integration of the model goes through dlsoda() below, so how the
// integrator is reached (which loaded copy, which lock) is decided in integrator/ alone.
#pragma once

#include <cstddef>
#include <string>

#include "api.hpp"

namespace odepack {

using f_int = int;  // default Fortran INTEGER

// F(NEQ, T, Y, YDOT): YDOT(1..NEQ) := dY/dT.  DLSODA hands the caller's own Y to F, so entries
// of Y beyond NEQ reach F unchanged.
using rhs_fn = void (*)(const f_int* neq, const double* t, const double* y, double* ydot);
// JAC(NEQ, T, Y, ML, MU, PD, NROWPD): user Jacobian, unused with JT = 2.
using jac_fn = void (*)(const f_int* neq, const double* t, const double* y, const f_int* ml, const f_int* mu,
                        double* pd, const f_int* nrowpd);

// Work-array sizes for the largest system the model integrates (NEQ = 5).  DLSODA's rule with
// JT = 1 or 2: LRW >= max(20 + 16*NEQ, 22 + 9*NEQ + NEQ**2) = 100 and LIW >= 20 + NEQ = 25.
// The model keeps 102 reals; one pair of arrays serves both the 5- and the 1-equation system.
inline constexpr f_int max_neq = 5;
inline constexpr f_int lrw = 102;
inline constexpr f_int liw = 20 + max_neq;
static_assert(lrw >= 20 + 16 * max_neq && lrw >= 22 + 9 * max_neq + max_neq * max_neq);

// DLSODA keeps its state in COMMON blocks.  A session gives the calling thread an integrator
// instance of its own for as long as it lives: a private instance where one can be had, else
// the process-wide one under a lock.  Sessions nest on a thread (the inner ones are free), so
// a caller that runs many evaluations, such as the loop of starts of one fit call, holds one
// around all of them; every model evaluation holds one of its own as well.
//
// Private instances are copies of the packaged library loaded at run time, each with its own
// COMMON blocks.  The outermost session on a thread takes an idle copy from a pool, or loads
// one when none is idle, and gives it back at its end: there are never more copies than
// threads that have integrated at the same time.  A copy is used only after checking that its
// references to its own state point into itself.  When a copy cannot be loaded or checked,
// the pool closes, the reason is said once on standard error, and from then on sessions that
// find no idle copy use the linked instance under the lock.
//
// The environment variable KELP_INTEGRATOR, read once per process, chooses: "private" (the
// default) or "shared" (always the linked instance under the lock: fits run one at a time).
class KELP_API session {
 public:
  session();
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;
};

/// Whether this thread's session runs on the shared instance, holding its lock: a thread that
/// does must not wait for other threads to integrate.
KELP_API bool holds_shared_instance() noexcept;

/// Makes sure the pool has a private copy for the next session to take, loading one when none
/// is idle and the pool is open.  Returns whether the next session gets a private instance.
KELP_API bool load_private_instance();

/// Number of private copies loaded so far in the process (idle or in use).
KELP_API std::size_t instances_loaded();

/// Why sessions that find no idle copy use the shared instance: empty while copies can be had,
/// "KELP_INTEGRATOR=shared" when the environment chose it, else why a copy was refused.
KELP_API std::string shared_instance_reason();

namespace detail {
/// A thread whose session holds a private copy and that now only waits for other threads
/// gives the copy back to the pool meanwhile, so that the threads it waits for can have it:
/// returns whether it gave one.  Every integration starts afresh (ISTATE = 1), so which copy
/// the session continues on changes no result.
bool lend_instance() noexcept;
/// Takes a copy again after lend_instance (the shared instance, under its lock, when none can
/// be had).
void reclaim_instance() noexcept;
}  // namespace detail

namespace testing {
/// While set, sessions that start take the linked instance under the lock, as when no copy can
/// be had.  Sessions already open keep their instance.
KELP_API void use_shared_instance(bool on);
}  // namespace testing

/// One DLSODA call with ODEPACK's documented argument order, on the calling thread's
/// instance.  The thread must hold a session: a call without one is a programming error that
/// ends the process (exit status 2) after a line on standard error.
KELP_API void dlsoda(rhs_fn f, const f_int* neq, double* y, double* t, const double* tout, const f_int* itol,
            const double* rtol, const double* atol, const f_int* itask, f_int* istate, const f_int* iopt,
            double* rwork, const f_int* lrw, f_int* iwork, const f_int* liw, jac_fn jac, const f_int* jt);

}  // namespace odepack
