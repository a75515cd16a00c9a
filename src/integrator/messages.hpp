// DLSODA's message routine.  The packaged library's own XERRWD is silent and ends the process
// with status 0 on a fatal (level 2) message; the binding points every loaded instance of the
// library to this one instead, which writes what ODEPACK's routine writes on its default unit,
// standard output (or the calling thread's message sink, integrator/sink.hpp), and returns in
// every case.
#pragma once

#include <cstddef>

#include "odepack.hpp"

namespace odepack {

/// XERRWD(MSG, NMES, NERR, LEVEL, NI, I1, I2, NR, R1, R2) with the length of MSG that gfortran
/// passes after the last argument.  Writes " " and MSG, then "In above message" lines holding
/// I1 (NI = 1), I1 and I2 (NI = 2), R1 (NR = 1), or R1 and R2 (NR = 2), as one write followed
/// by a flush, so that messages of concurrent threads do not interleave; counted in the
/// thread's sink when one is entered.  NERR is not used;
/// LEVEL 2 (fatal) returns like the others: DLSODA then returns to its caller with ISTATE < 0.
extern "C" void kelp_xerrwd_(const char* msg, const f_int* nmes, const f_int* nerr, const f_int* level,
                             const f_int* ni, const f_int* i1, const f_int* i2, const f_int* nr, const double* r1,
                             const double* r2, std::size_t msg_len) noexcept;

namespace detail {
/// The text kelp_xerrwd_ writes for one message, in `out` (NUL-terminated, cut to `capacity`).
/// Returns its length.  Integers are edited as Fortran's I10, reals as D21.13.
std::size_t message_text(char* out, std::size_t capacity, const char* msg, std::size_t msg_len, f_int ni,
                         f_int i1, f_int i2, f_int nr, double r1, double r2);
}  // namespace detail

}  // namespace odepack
