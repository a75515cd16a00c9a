"""The model's grid, checked at the optimum against the doubled grid.

A model of order p in its time and depth points is off by about e·(intervals)^(−p) on a
grid of n_t × n_z.  The doubled grid (2n_t − 1) × (2n_z − 1) halves the intervals and so
divides the error by 2^p, and the change between the two (c) is (1 − 2^(−p)) of the fit grid's
own error: half of it for a model that converges at first order (fit_zscan's, which always
overstates |T − 1|), and three quarters for one that converges at second
order.  A grid with f times the intervals ((n − 1)·f + 1 points each way) is then about
T_R + (T − T_R)/f^p at each point, with the extrapolation T_R = T(doubled) +
(T(doubled) − T)/(2^p − 1), and it changes by about c/f^p when doubled in turn.  The grid
named in the warning is the coarsest such grid whose own check would pass by that estimate
with a fifth to spare, its residuals and signal included (both shrink with the grid's error).
"""
import dataclasses
import math
import time

import numpy as np

SIGNAL_SHARE = 0.05  # a grid error above 5 % of the signal is worth a warning whatever the noise
# Beyond 100 times the intervals (2001 x 1001 from 21 x 11) a grid is no practical advice.
_PRACTICAL_FACTOR = 100
# The named grid's estimated change stays a fifth below its limit: the estimate is of leading
# order only, and the residuals' rms moves a little when the grid does.
_MARGIN = 0.8


def doubled(t_slices, z_slices):
    return 2 * t_slices - 1, 2 * z_slices - 1


@dataclasses.dataclass(frozen=True)
class GridCheck:
    base: tuple               # the fit's grid (t_slices, z_slices)
    t_slices: int             # the doubled grid that was evaluated
    z_slices: int
    max_model_change: float   # largest |T(doubled) − T(base)| over the measured points
    signal: float             # largest |T − 1| of the model at the optimum
    residual_rms: float       # rms of measured − model at the optimum (unweighted)
    evaluations: int
    wall_time: float          # s
    factor: int = None        # intervals of the grid that would do, per interval of the base
    order: int = 1            # the model's order of convergence in its grid

    @property
    def limit(self):
        return min(self.residual_rms, SIGNAL_SHARE * self.signal)

    def suggested(self):
        """A grid (t_slices, z_slices) whose own check would pass; None when the base passes or
        no practical grid would."""
        if not self.max_model_change > self.limit or self.factor is None:
            return None
        t, z = self.base
        return (t - 1) * self.factor + 1, (z - 1) * self.factor + 1

    def warning(self):
        c = self.max_model_change
        reasons = []
        if c > self.residual_rms:
            reasons.append(f"the residual rms {self.residual_rms:.3g}")
        if c > SIGNAL_SHARE * self.signal:
            reasons.append(f"5 % of the signal {self.signal:.3g}")
        if not reasons:
            return None
        t, z = self.base
        text = (f"the model's grid of {t} x {z} points (t_slices x z_slices) is too coarse for these data: "
                f"doubling it to {self.t_slices} x {self.z_slices} changes the model by up to {c:.3g}, more than "
                f"{' and '.join(reasons)} (the grid's own error is about {_ERROR_PER_CHANGE[self.order]} that "
                "change); ")
        grid = self.suggested()
        if grid is None:
            return text + "the residuals are below what any practical grid resolves (data made with this model?)"
        return text + f"a grid of about {grid[0]} x {grid[1]} would do"

    def document(self):
        return {"t_slices": self.t_slices, "z_slices": self.z_slices, "max_model_change": self.max_model_change,
                "signal": self.signal, "residual_rms": self.residual_rms}


# The fit grid's own error per change on doubling, 1 / (1 − 2^(−p)), in words.
_ERROR_PER_CHANGE = {1: "twice", 2: "4/3 of"}


def _signal(model):
    return float(np.max(np.abs(model - 1.0)))


def _rms(residuals):
    return float(np.sqrt(np.mean(residuals ** 2)))


def _factor(measured, model, fine_model, order=1):
    """The smallest f whose grid passes its own check by the estimate of the model's order;
    None beyond what is practical."""
    change = np.abs(fine_model - model)
    extrapolated = 2 * fine_model - model if order == 1 else fine_model + (fine_model - model) / (2 ** order - 1)
    for f in range(2, _PRACTICAL_FACTOR + 1):
        at_f = extrapolated + (model - extrapolated) / f ** order
        if np.max(change) / f ** order <= _MARGIN * min(_rms(measured - at_f), SIGNAL_SHARE * _signal(at_f)):
            return f
    return None


def check_grid(objective, values, model):
    """Evaluates the objective's model once on the doubled grid at values (model: at values on
    the objective's own grid, flat) and compares."""
    started = time.perf_counter()
    fine = objective.on_grid(*doubled(objective.t_slices, objective.z_slices))
    fine_model = fine.model(values)
    model = np.asarray(model, dtype=np.float64)
    return GridCheck(base=(objective.t_slices, objective.z_slices), t_slices=fine.t_slices, z_slices=fine.z_slices,
                     max_model_change=float(np.max(np.abs(fine_model - model))), signal=_signal(model),
                     residual_rms=_rms(objective.measured - model), evaluations=1,
                     wall_time=time.perf_counter() - started,
                     factor=_factor(objective.measured, model, fine_model, objective.grid_order),
                     order=objective.grid_order)


@dataclasses.dataclass(frozen=True)
class FineRefit:
    """The refinement repeated on the doubled grid, from the optimum on the fit's grid."""
    t_slices: int
    z_slices: int
    parameters: dict        # name -> value on the doubled grid
    moved: dict             # name -> (doubled − fit grid) in standard errors of the fit grid's optimum
    error: float
    evaluations: int
    converged: bool
    wall_time: float

    def warnings(self):
        out = []
        for name, shift in self.moved.items():
            if math.isfinite(shift) and abs(shift) > 1.0:
                out.append(f"on the doubled grid ({self.t_slices} x {self.z_slices}) {name} moves by "
                           f"{shift:+.1f} standard errors: the fit grid's error biases it")
        return out

    def document(self):
        return {"t_slices": self.t_slices, "z_slices": self.z_slices, "parameters": dict(self.parameters),
                "moved_standard_errors": dict(self.moved), "error": self.error, "evaluations": self.evaluations,
                "converged": self.converged}


def refit_fine(objective, values, standard_errors, threads=None, attached=None):
    """Refines again on the doubled grid from values; reports how far each quantity moves."""
    from kelp.fit.refine import refine
    fine = objective.on_grid(*doubled(objective.t_slices, objective.z_slices))
    r = refine(fine.problem(values), threads=threads, attached=attached)
    moved = {}
    for name, before, after, se in zip(r.names, values, r.values, standard_errors):
        moved[name] = float((after - before) / se) if se > 0 and math.isfinite(se) else math.nan
    return FineRefit(t_slices=fine.t_slices, z_slices=fine.z_slices,
                     parameters={name: float(v) for name, v in zip(r.names, r.values)}, moved=moved,
                     error=r.error, evaluations=r.evaluations, converged=r.converged, wall_time=r.wall_time)
