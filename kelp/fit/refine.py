"""Refinement to the least-squares optimum of a weighted model, from a given start.

fit_zscan's lmdif1 differences its parameters by 1.5e-8 of their value, where the model moves
little more than the integrator's own noise (about 1e-9), and it stops on a tolerance of 1e-3:
it often ends many standard errors from the optimum of its own objective.  Here SciPy's
trust-region least_squares ('trf') works on

    u = ln(value / start)        for a positive quantity (a cross-section, a lifetime), which
                                 also keeps it positive, and
    u = (value - start) / scale  for a quantity of either sign (a position, on the scale of
                                 the length it is measured against),

with forward differences of STEP in u (a relative change of 1e-4: some 1e5 times the
integrator's noise, and small against the model's curvature).  It stops when a successful step
lowers the sum of squares by less than FTOL = 1e-10 of it, when a step moves u by less than
about XTOL = 1e-8 (the solver's coordinate is 1 + u, so that its xtol, relative to the
coordinate's size, acts on u as an absolute tolerance: a relative change of 1e-8 in every
parameter, below what the integrator's noise lets any data resolve), or when the largest
component of the gradient Jᵀr falls below GTOL = 1e-10.  At u = 0 the values are exactly the
start, so the first evaluation is the start's own objective.

The model is any callable of the fitted values: the Z-scan objective of fit_zscan is one
(kelp.fit.objective), another model of the same measurement is another.  The Jacobian's
columns are independent model evaluations; they run on a pool of threads (the forward model
evaluates without the interpreter lock), and each column's arithmetic does not depend on the
thread that computes it, so the result is the same bits for any number of threads.
"""
import concurrent.futures
import dataclasses
import math
import os
import threading
import time

import numpy as np
from scipy.optimize import least_squares

from kelp.core import cancellation, extension

STEP = 1e-4
FTOL = 1e-10
XTOL = 1e-8
GTOL = 1e-10
_OFFSET = 1.0  # solver coordinate = _OFFSET + u


@dataclasses.dataclass(frozen=True)
class Problem:
    """A weighted least-squares problem in a few fitted quantities.

    residuals(values) returns the weighted residuals (measured - model) * sqrt(weight) at the
    fitted values (an array in the order of names); positive[i] says whether quantity i is
    fitted on a log scale; scales[i] is the unit of u of a quantity that is not (ignored for
    the positive ones).
    """
    names: tuple
    start: np.ndarray
    residuals: object
    positive: tuple
    scales: tuple = None

    def _scale(self, i):
        return 1.0 if self.scales is None else float(self.scales[i])

    def values(self, u):
        """The fitted values at the coordinates u."""
        return np.array([s * math.exp(x) if p else s + x * self._scale(i)
                         for i, (s, x, p) in enumerate(zip(self.start, np.asarray(u, dtype=np.float64),
                                                           self.positive))])

    def unit_scale(self, values):
        """d value / d u at values: converts standard errors from u to the quantities' units."""
        return np.array([v if p else self._scale(i) for i, (v, p) in enumerate(zip(values, self.positive))])


def weighted(model, measured, sqrt_weights):
    """residuals(values) = (measured - model(values)) * sqrt_weights, point by point."""
    measured = np.asarray(measured, dtype=np.float64)
    sqrt_weights = np.asarray(sqrt_weights, dtype=np.float64)
    return lambda values: (measured - np.asarray(model(values), dtype=np.float64)) * sqrt_weights


def error_norm(residuals):
    """MINPACK's enorm, as fit_zscan takes its error (the core's): the root of the sum of squares,
    scaled where they would overflow or underflow."""
    return extension().error_norm(np.ascontiguousarray(residuals, dtype=np.float64))


@dataclasses.dataclass(frozen=True)
class Refinement:
    names: tuple
    values: np.ndarray      # at the optimum, in the quantities' own units
    residuals: np.ndarray   # weighted, at the optimum
    jacobian: np.ndarray    # d residuals / d u at the optimum (m x n)
    unit_scale: np.ndarray  # d value / d u at the optimum
    error: float            # norm of the weighted residuals at the optimum
    start_error: float      # the same at the start
    evaluations: int        # model evaluations, the start's and the Jacobians' included
    converged: bool
    message: str            # the solver's reason for stopping
    wall_time: float        # s


class _Counted:
    """The problem's residuals, counted; safe to call from several threads."""

    def __init__(self, residuals):
        self._residuals, self._lock, self.count = residuals, threading.Lock(), 0

    def __call__(self, values):
        cancellation.check()  # Ctrl-C: stop at this model evaluation
        with self._lock:
            self.count += 1
        return np.asarray(self._residuals(values), dtype=np.float64)


def default_threads(columns):
    """One thread per Jacobian column, at most one per CPU this process may run on."""
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    return max(1, min(columns, cpus))


def refine(problem, threads=None, max_steps=None, attached=None, tolerances=(FTOL, XTOL, GTOL)):
    """Minimise the problem's sum of squares from its start; returns a Refinement.

    threads: how many Jacobian columns are evaluated at once (default: default_threads);
    max_steps: the most trial steps of the solver (default 100 per fitted quantity);
    attached: a context manager factory entered around each column evaluated on the pool's
    threads, so that what the calling thread has attached (an integrator watch) holds there too;
    tolerances: (ftol, xtol, gtol), looser where only the sum of squares matters (a profile).
    """
    n = len(problem.names)
    counted = _Counted(problem.residuals)
    last = {}  # the solver asks for the Jacobian at the point it has just evaluated

    def at(x):
        return problem.values(np.asarray(x, dtype=np.float64) - _OFFSET)

    def fun(x):
        key = np.asarray(x, dtype=np.float64).tobytes()
        if key not in last:
            last.clear()
            last[key] = counted(at(x))
        return last[key].copy()

    def column(x, r0, j):
        moved = np.array(x, dtype=np.float64)
        moved[j] += STEP
        h = moved[j] - x[j]  # the step as represented
        return (counted(at(moved)) - r0) / h

    def column_attached(x, r0, j):
        if attached is None:
            return column(x, r0, j)
        with attached():
            return column(x, r0, j)

    workers = threads or default_threads(n)
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kelp-jacobian") as pool:
        def jac(x):
            r0 = last.get(np.asarray(x, dtype=np.float64).tobytes())
            if r0 is None:
                r0 = counted(at(x))
            if workers == 1 or n == 1:
                cols = [column(x, r0, j) for j in range(n)]
            else:
                cols = list(pool.map(lambda j: column_attached(x, r0, j), range(n)))
            return np.column_stack(cols)

        x0 = np.full(n, _OFFSET)
        r_start = fun(x0)  # kept: the solver's own first evaluation finds it
        start_error = error_norm(r_start)
        if not np.all(np.isfinite(r_start)):
            raise ValueError("the model gives no finite values at the start of the refinement")
        solution = least_squares(fun, x0, jac=jac, method="trf", x_scale=1.0, ftol=tolerances[0], xtol=tolerances[1],
                                 gtol=tolerances[2],
                                 max_nfev=max_steps or 100 * n)
    values = at(solution.x)
    return Refinement(names=tuple(problem.names), values=values, residuals=np.asarray(solution.fun),
                      jacobian=np.asarray(solution.jac), unit_scale=problem.unit_scale(values),
                      error=error_norm(solution.fun), start_error=start_error, evaluations=counted.count,
                      converged=bool(solution.status > 0), message=str(solution.message),
                      wall_time=time.perf_counter() - started)
