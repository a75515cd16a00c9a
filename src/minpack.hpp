// Binding of MINPACK's Levenberg-Marquardt driver (reference Fortran build).  Argument names
// are the library's own, so the prototypes can be checked against its documentation.
#pragma once

#include <cstdint>

namespace minpack {

using f_int = int;  // default Fortran INTEGER

// fcn(m, n, x, fvec, iflag): fvec(1..m) := f(x(1..n)); a negative iflag stops lmdif1.
using lmdif_fcn = void (*)(f_int* m, f_int* n, double* x, double* fvec, f_int* iflag);

extern "C" {
void lmdif1_(lmdif_fcn fcn, f_int* m, f_int* n, double* x, double* fvec, double* tol, f_int* info, f_int* iwa,
             double* wa, f_int* lwa);
double enorm_(f_int* n, double* x);
}

/// Length of lmdif1's real work array for m residuals and n parameters.  The library needs
/// lwa >= m*n + 5*n + m; the fit gives it m*n more, 2*m*n + 5*n + m (negative counts as 0).
/// Computed in 64 bits: the caller checks that it fits f_int.
inline std::int64_t lmdif1_work_size(std::int64_t m, std::int64_t n) {
  const std::int64_t lwa = 2 * m * n + 5 * n + m;
  return lwa > 0 ? lwa : 0;
}

}  // namespace minpack
