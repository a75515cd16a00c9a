#include "odepack.hpp"

#include <cassert>
#include <mutex>

// The packaged ODEPACK build (inside libsiconos_externals), linked directly.  Its state lives
// in COMMON blocks: one copy per process, so every integration happens under the one lock.
extern "C" void dlsoda_(odepack::rhs_fn f, const odepack::f_int* neq, double* y, double* t, const double* tout,
                        const odepack::f_int* itol, const double* rtol, const double* atol,
                        const odepack::f_int* itask, odepack::f_int* istate, const odepack::f_int* iopt,
                        double* rwork, const odepack::f_int* lrw, odepack::f_int* iwork, const odepack::f_int* liw,
                        odepack::jac_fn jac, const odepack::f_int* jt);

namespace odepack {

namespace {
std::mutex shared_instance;
thread_local int session_depth = 0;
}  // namespace

session::session() {
  if (session_depth++ == 0) shared_instance.lock();
}

session::~session() {
  if (--session_depth == 0) shared_instance.unlock();
}

void dlsoda(rhs_fn f, const f_int* neq, double* y, double* t, const double* tout, const f_int* itol,
            const double* rtol, const double* atol, const f_int* itask, f_int* istate, const f_int* iopt,
            double* rwork, const f_int* lrw, f_int* iwork, const f_int* liw, jac_fn jac, const f_int* jt) {
  assert(session_depth > 0);
  dlsoda_(f, neq, y, t, tout, itol, rtol, atol, itask, istate, iopt, rwork, lrw, iwork, liw, jac, jt);
}

}  // namespace odepack
