"""Profile-likelihood intervals of the fitted quantities.

At the optimum the standard errors come from the linearised model.  With the strongly
correlated pairs of a Z-scan (k2 and tau4 at -0.999) and positive quantities fitted on a log
scale, the sum of squares is far from a quadratic a few standard errors out, and so is the
distribution of a fitted value.  The profile asks the data directly: hold one quantity at a
value, re-optimise all the others (the same refinement, kelp.fit.refine, warm-started), and
see how far the sum of squares rises.

The noise scale is the fit's own residual variance s² = χ²/(m − n), so that
Δ(c) = (χ²(c) − χ²_min)/s² rises by 1 at one standard error where the model is linear: the 68 %
interval is where Δ < 1, the 95 % one where Δ < 3.84 (one parameter's χ² quantiles).  Each
side of each quantity steps out from the optimum in its own coordinate u of the refinement
(ln of the value for a positive quantity) by 1, 2, 3, 5, 8, 13, 20 standard errors, at most a
factor of 1000 in value, until Δ passes 3.84; each crossing is then found by Brent's method on
√Δ, which is nearly linear in u.  A side that never reaches a level within that range is open:
its end is infinite.

The sides are independent tasks on a pool of threads (each re-optimisation on one thread), and
each side warm-starts every point from its own previous one, so the intervals are the same bits
whatever the number of threads.
"""
import concurrent.futures
import contextlib
import dataclasses
import math
import time

import numpy as np
from scipy.optimize import brentq

from kelp.fit import refine

# (name, Δχ²/s²): the quantiles of χ² with one degree of freedom.
LEVELS = (("68", 1.0), ("95", 3.841458820694124))
STEPS = (1, 2, 3, 5, 8, 13, 20)    # standard errors out from the optimum
MAX_FACTOR = 1000.0                 # a positive quantity's profile goes no further than this
ROOT_TOLERANCE = 0.01               # of a standard error, in u
# The re-optimisations need the sum of squares to about 1e-3 of s², which is some 1e-5 of it
# with a hundred points: a relative change of 1e-7 per step (ftol) is far inside that, and a
# change of the others by 1e-5 in u (xtol) moves it to second order only.
TOLERANCES = (1e-7, 1e-5, 1e-8)
MAX_STEPS = 50  # trial steps per re-optimised quantity: a point that needs more is far out on a flat valley
ASYMMETRY_LIMIT = 0.2               # the longer side more than 20 % longer than the shorter
# A Δ this far below 0 means that the refinement stopped short of the optimum.
_LOWER_LIMIT = -0.05


@dataclasses.dataclass(frozen=True)
class Interval:
    """One quantity's profile: its intervals at each level and the points of Δ evaluated."""
    name: str
    value: float
    standard_error: float
    bounds: dict          # level name ("68", "95") -> (lower, upper); ±inf where open
    points: tuple         # (value, Δ) at every profile point evaluated, sorted by value
    relative: bool        # a positive quantity: its spread as a share of its value makes sense

    def open_sides(self, level="68"):
        lower, upper = self.bounds[level]
        return tuple(side for side, end in (("below", lower), ("above", upper)) if math.isinf(end))

    def asymmetry(self, level="68"):
        """The longer side of the interval over the shorter, less 1 (nan when open)."""
        lower, upper = self.bounds[level]
        down, up = self.value - lower, upper - self.value
        if not (math.isfinite(down) and math.isfinite(up)) or min(down, up) <= 0:
            return math.nan
        return max(down, up) / min(down, up) - 1.0

    def warnings(self):
        """In words: an interval open on a side, or asymmetric by more than ASYMMETRY_LIMIT."""
        out = []
        for level, _ in LEVELS:
            sides = self.open_sides(level)
            if sides:
                out.append(f"{self.name}'s {level} % profile interval is open {' and '.join(sides)}: the data do not "
                           f"bound it there within {STEPS[-1]} standard errors" +
                           (f" or a factor of {MAX_FACTOR:g}" if self.relative else ""))
                break  # an open 68 % interval is open at 95 % too
        a = self.asymmetry()
        if math.isfinite(a) and a > ASYMMETRY_LIMIT:
            lower, upper = self.bounds["68"]
            out.append(f"{self.name}'s 68 % profile interval is asymmetric ({self._spread(lower - self.value)} / "
                       f"{self._spread(upper - self.value)}, against ± {self._spread(self.standard_error, False)} "
                       "from the standard error): quote the interval rather than the standard error")
        return out

    def _spread(self, delta, signed=True):
        text = f"{delta:+.2g}" if signed else f"{delta:.2g}"
        if self.relative and self.value:
            text = f"{100 * delta / self.value:+.2g} %" if signed else f"{100 * delta / self.value:.2g} %"
        return text

    def document(self):
        doc = {"value": self.value, "standard_error": self.standard_error}
        for level, _ in LEVELS:
            doc[level] = list(self.bounds[level])
        doc.update(open=list(self.open_sides("95")), asymmetry=self.asymmetry(),
                   points=[[v, d] for v, d in self.points])
        return doc


@dataclasses.dataclass(frozen=True)
class Profile:
    intervals: tuple     # Interval per fitted quantity, in the fit's order
    noise_scale: float   # s² = χ²/(m − n)
    evaluations: int     # model evaluations of every re-optimisation
    threads: int         # sides profiled at once
    wall_time: float     # s
    notes: tuple = ()    # what the profile found about the optimum itself, in words

    def __getitem__(self, name):
        return next(i for i in self.intervals if i.name == name)

    def warnings(self):
        return [w for i in self.intervals for w in i.warnings()] + list(self.notes)

    def document(self):
        return {"levels": {level: delta for level, delta in LEVELS}, "noise_scale": self.noise_scale,
                "parameters": {i.name: i.document() for i in self.intervals}, "evaluations": self.evaluations,
                "threads": self.threads, "wall_time_s": self.wall_time, "warnings": self.warnings()}


def _u_of(problem, values):
    """The problem's coordinates of values (the inverse of Problem.values)."""
    return np.array([math.log(v / s) if p else (v - s) / problem._scale(i)
                     for i, (s, v, p) in enumerate(zip(problem.start, values, problem.positive))])


class _Side:
    """The profile of quantity i on one side of the optimum: Δ at t standard errors out."""

    def __init__(self, problem, residuals, i, sign, se_u, slopes, chi2_min, s2):
        self.problem, self.residuals, self.i, self.sign, self.se_u = problem, residuals, i, sign, se_u
        self.slopes, self.chi2_min, self.s2 = slopes, chi2_min, s2
        self.others = [j for j in range(len(problem.names)) if j != i]
        self.deltas = {0.0: 0.0}
        self.optimum = {0.0: np.zeros(len(problem.names))}  # t -> u of the conditional optimum

    def u(self, t):
        return self.sign * t * self.se_u

    def delta(self, t):
        if t in self.deltas:
            return self.deltas[t]
        c = self.u(t)
        if not self.others:
            u = np.array([c])
            r = self.residuals(self.problem.values(u))
        else:
            near = min(self.optimum, key=lambda k: abs(k - t))
            r, u = self._reoptimised(c, self._guess(near, c))
            d = (float(r @ r) - self.chi2_min) / self.s2
            if not d < LEVELS[-1][1] and t != near:
                # A point past the last level from a guess moved along a slope may be a
                # re-optimisation that went astray: the nearest optimum as it is decides.
                plain = self.optimum[near].copy()
                plain[self.i] = c
                r2, u2 = self._reoptimised(c, plain)
                if float(r2 @ r2) < float(r @ r):
                    r, u = r2, u2
        d = (float(r @ r) - self.chi2_min) / self.s2
        if not math.isfinite(d):
            raise ValueError(f"the model gives no finite values at {self.problem.names[self.i]} = "
                             f"{self.problem.values(u)[self.i]:.4g}")
        self.deltas[t] = d
        self.optimum[t] = u
        return d

    def _guess(self, near, c):
        """The others' warm start at c: the nearest conditional optimum, moved along the slope of
        the conditional optima there (the covariance's at the optimum itself)."""
        slopes = self.slopes
        if near != 0.0:
            ts = sorted(self.optimum, key=lambda k: abs(k - near))
            other = ts[1] if len(ts) > 1 else 0.0
            slopes = (self.optimum[near] - self.optimum[other]) / (self.u(near) - self.u(other))
        guess = self.optimum[near] + slopes * (c - self.u(near))
        # Far out a slope may carry the others beyond any value (tau4 -> 1e300 s): no further
        # than the profile itself goes.
        span = math.log(MAX_FACTOR)
        guess = np.where(self.problem.positive, np.clip(guess, -span, span), guess)
        guess[self.i] = c
        return guess

    def _reoptimised(self, c, guess):
        """(weighted residuals, u) of the others re-optimised from guess at u_i = c."""
        p = self.problem
        start = p.values(guess)
        fixed = start[self.i]

        def sub(values):
            return self.residuals(np.insert(np.asarray(values, dtype=np.float64), self.i, fixed))

        sub_problem = refine.Problem(names=tuple(p.names[j] for j in self.others), start=start[self.others],
                                     residuals=sub, positive=tuple(p.positive[j] for j in self.others),
                                     scales=tuple(p._scale(j) for j in self.others))
        fitted = refine.refine(sub_problem, threads=1, max_steps=MAX_STEPS * len(self.others),
                               tolerances=TOLERANCES)
        return fitted.residuals, _u_of(p, np.insert(fitted.values, self.i, fixed))

    def run(self, limit_t):
        """(t of each level's crossing, inf where open), stepping out to at most limit_t."""
        ends = {}
        below = 0.0
        try:
            for k in STEPS:
                t = min(float(k), limit_t)
                d = self.delta(t)
                for level, height in LEVELS:
                    if level not in ends and d >= height:
                        ends[level] = self._root(below, t, height)
                if d >= LEVELS[-1][1] or t >= limit_t:
                    break
                below = t
        except (ValueError, OverflowError, np.linalg.LinAlgError):
            pass  # the model fails further out: the profile ends where it still had values
        return {level: ends.get(level, math.inf) for level, _ in LEVELS}

    def _root(self, a, b, height):
        # The last point below this level may lie before the last point below the other one.
        a = max((t for t, d in self.deltas.items() if a <= t < b and d < height), default=a)
        root = math.sqrt(height)
        return brentq(lambda t: math.sqrt(max(self.delta(t), 0.0)) - root, a, b, xtol=ROOT_TOLERANCE)


def profile(problem, optimum_residuals, covariance, threads=None, attached=None):
    """Profile intervals of every quantity of problem, whose start is the optimum.

    optimum_residuals: the weighted residuals at the optimum; covariance: that of u there (kelp.fit.uncertainty.covariance_u); threads: sides profiled at once (default one per
    side, at most the CPUs); attached: a context manager factory entered on the pool's threads
    (the tool's integrator watch).  Returns a Profile.
    """
    names = tuple(problem.names)
    n = len(names)
    residuals = refine._Counted(problem.residuals)  # Ctrl-C stops a profile at its next evaluation
    r0 = np.asarray(optimum_residuals, dtype=np.float64)
    chi2_min, m = float(r0 @ r0), len(r0)
    s2 = chi2_min / (m - n) if m > n else math.nan
    cov = np.asarray(covariance, dtype=np.float64)
    se_u = np.sqrt(np.diag(cov))
    tasks = [(i, sign) for i in range(n) for sign in (-1, 1)]
    workers = threads or refine.default_threads(len(tasks))
    started = time.perf_counter()

    def side(task):
        i, sign = task
        if not (math.isfinite(se_u[i]) and se_u[i] > 0 and math.isfinite(s2) and s2 > 0):
            return {level: math.inf for level, _ in LEVELS}, {}
        slopes = cov[:, i] / cov[i, i]
        if not np.all(np.isfinite(slopes)):
            slopes = np.zeros(n)
        limit = STEPS[-1] if not problem.positive[i] else min(STEPS[-1], math.log(MAX_FACTOR) / se_u[i])
        s = _Side(problem, residuals, i, sign, se_u[i], slopes, chi2_min, s2)
        with (attached or contextlib.nullcontext)():
            return s.run(limit), s.deltas

    with concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="kelp-profile") as pool:
        done = list(pool.map(side, tasks))
    intervals, notes = [], []
    for i, name in enumerate(names):
        value = float(problem.start[i])
        (low, low_deltas), (high, high_deltas) = done[2 * i], done[2 * i + 1]

        def at(t, sign):
            return float(problem.values(_unit(n, i, sign * t * se_u[i]))[i]) if math.isfinite(t) else sign * math.inf

        bounds = {level: (at(low[level], -1), at(high[level], 1)) for level, _ in LEVELS}
        points = sorted({(at(t, sign), d) for sign, deltas in ((-1, low_deltas), (1, high_deltas))
                         for t, d in deltas.items()})
        se = abs(float(problem.unit_scale(problem.start)[i])) * se_u[i]
        intervals.append(Interval(name=name, value=value, standard_error=float(se), bounds=bounds,
                                  points=tuple(points), relative=bool(problem.positive[i])))
        lowest = min(points, key=lambda p: p[1], default=(value, 0.0))
        if lowest[1] < _LOWER_LIMIT:
            notes.append(f"the profile of {name} found a smaller sum of squares at {name} = {lowest[0]:.5g} "
                         f"(by {-lowest[1]:.2g} s²): the refinement stopped short of the optimum")
    return Profile(intervals=tuple(intervals), noise_scale=float(s2), evaluations=residuals.count, threads=workers,
                   wall_time=time.perf_counter() - started, notes=tuple(notes))


def _unit(n, i, c):
    u = np.zeros(n)
    u[i] = c
    return u
