"""The fit of a model that fit_zscan does not fit: the refinement from each of the settings' starts.

fit_zscan fits its own model only, so another model is fitted with the refinement alone
(kelp.fit.refine), on the objective fit_zscan would have had: positions centred on the extreme
of the measured transmittance, the same weights and norm, the parameters in log space.  The
starts are fit_zscan's: start i of n multiplies every fitted parameter by
10^((i·1.04)/(n − 1) − 0.52) (a single start by 10^(−0.52), as fit_zscan's does), and so the
waist (w0 or the Rayleigh range) when fitted; M2 starts at the settings' value, the focus
shifts and the baseline at 0.  A fit of the beam alone (nothing of the sample, which fit_zscan
fits) is made this way for any model.  Each start is refined to its optimum; the one with the smallest
error wins, the earlier on a tie, and its optimum is assessed as fit_zscan's refined result is.

Without the assessment (refine=False) the starts are still refined, since that is the fit, but
the standard errors and the grid check are left out, and so is the focus (as fit_zscan leaves
it where it centres).
"""
import dataclasses
import math
import time

import numpy as np

from kelp.core import extension
from kelp.fit import refine
from kelp.errors import FitFailed
from kelp.fit.assess import assess_optimum
from kelp.fit.objective import Objective
from kelp.fit.result import FitResult


def start_multiplier(i, n_starts):
    """fit_zscan's multiplier of start i of n_starts (the core's own arithmetic)."""
    return extension().start_multipliers(n_starts)[i]


@dataclasses.dataclass(frozen=True)
class Start:
    """One start of the fit and where its refinement ended."""
    start: dict        # name -> value it started from
    refinement: object  # kelp.fit.refine.Refinement; None when it failed
    failure: str = None  # why it failed

    @property
    def error(self):
        return self.refinement.error if self.refinement is not None else math.nan

    def document(self):
        r = self.refinement
        doc = {"start": dict(self.start)}
        if r is None:
            doc["failure"] = self.failure
        else:
            doc.update(parameters={n: float(v) for n, v in zip(r.names, r.values)}, error=r.error,
                       evaluations=r.evaluations, converged=r.converged)
        return doc


def start_points(objective, settings):
    """The fitted quantities' values at each start, in the order of objective.names."""
    points = []
    for multiplier in extension().start_multipliers(settings.n_starts):
        values = [settings.parameters[name] * multiplier for name in settings.fit]
        points.append(objective.start(values, multiplier))
    return points


def best(starts):
    """Index of the start with the smallest finite error, the earlier on a tie; None if none."""
    chosen = None
    for i, s in enumerate(starts):
        if math.isfinite(s.error) and (chosen is None or s.error < starts[chosen].error):
            chosen = i
    return chosen


def fit(measurement, settings, watch, warnings, refine_result=True, fine_grid=False, threads=None, profile=False):
    """The fit from every start of measurement (already checked and sorted): (a FitResult whose
    fitted values, error and residuals are the best start's optimum, a callable that assesses
    that optimum, or None with refine_result False)."""
    objective = Objective.of(measurement, settings, fit_focus=settings.fit_focus and refine_result)
    started = time.perf_counter()
    starts, problems = [], []
    with watch.attached():
        for point in start_points(objective, settings):
            problem = objective.problem(point)
            problems.append(problem)
            try:
                r = refine.refine(problem, threads=threads, attached=watch.attached)
                starts.append(Start(start=dict(zip(objective.names, point)), refinement=r))
            except (ValueError, np.linalg.LinAlgError) as e:
                starts.append(Start(start=dict(zip(objective.names, point)), refinement=None, failure=str(e)))
    wall_time = time.perf_counter() - started
    k = best(starts)
    if k is None:
        said = f" (DLSODA wrote {watch.messages} messages)" if watch.messages else ""
        raise FitFailed(f"{measurement.path}: the {settings.model} fit gave no usable result from any of its "
                        f"{len(starts)} start{'s' if len(starts) != 1 else ''}: {starts[0].failure}{said}; check "
                        "the start values and the settings")
    for i, s in enumerate(starts):
        if s.refinement is None:
            warnings.append(f"start {i + 1} of the {settings.model} fit failed ({s.failure}); the others stand")
    r = starts[k].refinement
    fitted = dict(settings.parameters)
    fitted.update({n: float(v) for n, v in zip(r.names, r.values) if n in settings.fit})
    model = objective.model(r.values)
    result = FitResult(measurement=measurement, settings=settings, start=dict(settings.parameters),
                       fitted=fitted, error=r.error,
                       residuals=objective.measured - model, wall_time=wall_time, integrator=watch)
    if not refine_result:
        if not r.converged:
            warnings.append(f"the fit stopped short of the optimum ({r.message}); its values are where it stopped")
        return result, None

    def assessment():
        a = assess_optimum(objective, problems[k], r, fine_grid=fine_grid, threads=threads, attached=watch.attached,
                           profile=profile)
        # Every start's refinement is the fit's cost; the wall time stays the best start's, the
        # whole fit being the result's.
        return dataclasses.replace(a, evaluations=sum(s.refinement.evaluations for s in starts if s.refinement),
                                   starts=tuple(starts))

    return result, assessment
