"""One fit_zscan result, refined and assessed: the optimum of the same objective, its standard
errors and correlations, the grid check, and what they mean in words.

The refinement starts from fit_zscan's best start (a value at or below zero: from the
settings' start value).  It counts as converged when the solver stopped on its tolerances and
the Gauss-Newton step that remains at the reported point is below a tenth of every standard
error (so the optimum is known far better than the data know the parameters), a check left
out for residuals at the integrator's noise (noise-free data made with this model).

With fit_focus, the quantity "focus" is the position of the focus on the file's position axis
(mm): fit_zscan's centre plus the fitted shift.

A model that fit_zscan does not fit has no fit_zscan result: its fit is the refinement from each of the
settings' starts (kelp.fit.starts), and the best start's optimum is assessed here the same way
(assess_optimum).
"""
import dataclasses
import math

import numpy as np

from kelp.fit import gridcheck
from kelp.fit import profile as profiles
from kelp.fit import refine
from kelp.fit import systematic as inputs
from kelp.fit import uncertainty
from kelp.fit.objective import FOCUS, Objective, kind

REMAINING_STEP_LIMIT = 0.1  # standard errors
# Residuals with an rms below this are the integrator's own noise (data made with this very
# model): the optimum is then defined only to that noise, and so are the standard errors, so
# the step that remains says nothing.
NOISE_FLOOR = 1e-7


@dataclasses.dataclass(frozen=True)
class Assessment:
    names: tuple
    parameters: dict          # name -> refined value (cm², s; focus in mm on the file's axis)
    standard_errors: dict     # name -> standard error in the same unit (inf: undetermined)
    correlation: np.ndarray   # in the order of names
    error: float              # norm of the weighted residuals at the optimum
    start_error: float        # the same at the start (fit_zscan's error, bit for bit)
    evaluations: int          # model evaluations of the refinement
    converged: bool
    remaining_step: float     # the Gauss-Newton step left at the optimum, in standard errors
    centre: float             # mm: where fit_zscan puts the focus (the measured extreme)
    model: np.ndarray         # (scans, n) model at the optimum, at the measured positions
    residuals: np.ndarray     # measured - model, flat
    grid_check: gridcheck.GridCheck
    fine_refit: gridcheck.FineRefit  # None unless asked for
    warnings: tuple
    wall_time: float          # s, the refinement alone
    # A fit from the starts: one kelp.fit.starts.Start per start, the best among
    # them assessed here (evaluations and wall_time then count every start).
    starts: tuple = ()
    start_values: dict = None  # name -> the settings' start value (a focus: fit_zscan's centre)
    # name -> the standard uncertainty that the inputs' own (a beam file's w0 and M2, the
    # settings' [uncertainties]) give the value: systematic, beside the statistical one of
    # standard_errors
    systematic_errors: dict = None
    systematic: object = None  # kelp.fit.systematic.Systematic: the same by input
    profile: object = None   # kelp.fit.profile.Profile, when asked for
    jacobian: np.ndarray = None    # d weighted residuals / d u at the optimum (the refinement's)
    unit_scale: np.ndarray = None  # d value / d u there
    advice: object = None    # kelp.fit.design.Advice on the next scan, when asked for

    def document(self):
        """The result's "refined" entry."""
        matrix = [[float(v) for v in row] for row in self.correlation]
        doc = {"parameters": dict(self.parameters), "standard_errors": dict(self.standard_errors),
               "correlation": {"names": list(self.names), "matrix": matrix}, "error": self.error,
               "evaluations": self.evaluations, "converged": self.converged}
        if self.starts:
            doc["starts"] = [start.document() for start in self.starts]
        if self.systematic_errors:
            doc["systematic_errors"] = dict(self.systematic_errors)
        return doc

    def grid_document(self):
        doc = self.grid_check.document()
        if self.fine_refit is not None:
            doc["refit"] = self.fine_refit.document()
        return doc


def remaining_step(jacobian, residuals, se_u):
    """Largest |Gauss-Newton step| / standard error over the quantities (both in u)."""
    step = np.linalg.lstsq(np.asarray(jacobian), -np.asarray(residuals), rcond=None)[0]
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = np.abs(step) / se_u
    ratio = ratio[np.isfinite(ratio)]
    return float(ratio.max()) if ratio.size else 0.0


def start_values(result, objective):
    values = []
    for name in result.settings.fit:
        v = result.fitted[name]
        values.append(v if v > 0 and math.isfinite(v) else result.settings.parameters[name])
    return objective.start(values)


def _named(objective, names, values):
    """Values by name, a focus shift as a position on the file's axis."""
    return {n: float(objective.centre + v) if kind(n) == FOCUS else float(v) for n, v in zip(names, values)}


def assess(result, fine_grid=False, threads=None, attached=None, profile=False):
    """Refine result (a FitResult) and assess the optimum; returns an Assessment.

    attached: a context manager factory entered around each model evaluation on the
    refinement's own threads (the tool's integrator watch).
    """
    objective = Objective.of(result.measurement, result.settings)
    problem = objective.problem(start_values(result, objective))
    r = refine.refine(problem, threads=threads, attached=attached)
    return assess_optimum(objective, problem, r, fine_grid=fine_grid, threads=threads, attached=attached,
                          profile=profile)


def profile_of(objective, r, threads=None, attached=None):
    """The profile intervals at the optimum r (a Refinement on objective); a focus in positions
    on the file's axis, as the assessment names it."""
    cov, _ = uncertainty.covariance_u(r.jacobian, r.residuals)
    p = profiles.profile(objective.problem(r.values), r.residuals, cov, threads=threads, attached=attached)
    shifted = []
    for i in p.intervals:
        if kind(i.name) == FOCUS:
            move = objective.centre
            i = dataclasses.replace(i, value=i.value + move, points=tuple((v + move, d) for v, d in i.points),
                                    bounds={k: (lo + move, hi + move) for k, (lo, hi) in i.bounds.items()})
        shifted.append(i)
    return dataclasses.replace(p, intervals=tuple(shifted))


def assess_optimum(objective, problem, r, fine_grid=False, threads=None, attached=None, profile=False):
    """The Assessment of r, the refinement of problem (on objective): standard errors, the grid
    check, the optional refit on the doubled grid, the profile intervals when asked for, and
    their warnings (the profile's own stay in the profile)."""
    u = uncertainty.assess_uncertainty(r.names, r.values, r.unit_scale, r.jacobian, r.residuals, problem.positive)
    se_u = np.array([s / a if a else math.nan for s, a in zip(u.standard_errors, np.abs(r.unit_scale))])
    model = objective.model(r.values)
    check = gridcheck.check_grid(objective, r.values, model)
    left = remaining_step(r.jacobian, r.residuals, se_u)
    converged = r.converged and (left < REMAINING_STEP_LIMIT or check.residual_rms < NOISE_FLOOR)
    warnings = []
    if not converged:
        why = r.message if not r.converged else f"a step of {left:.2g} standard errors remains"
        warnings.append(f"the refinement stopped short of the optimum ({why}); its values are where it stopped")
    warnings.extend(u.warnings)
    if check.warning():
        warnings.append(check.warning())
    systematic = inputs.systematic(objective, r)
    fine = None
    if fine_grid:
        fine = gridcheck.refit_fine(objective, r.values, u.standard_errors, threads=threads, attached=attached)
        fine = dataclasses.replace(fine, parameters=_named(objective, r.names, fine.parameters.values()))
        warnings.extend(fine.warnings())
    intervals = profile_of(objective, r, threads=threads, attached=attached) if profile else None
    return Assessment(
        names=r.names, parameters=_named(objective, r.names, r.values),
        standard_errors={n: float(s) for n, s in zip(r.names, u.standard_errors)}, correlation=u.correlation,
        error=r.error, start_error=r.start_error, evaluations=r.evaluations, converged=converged,
        remaining_step=left, centre=objective.centre, model=model.reshape(objective.scans, -1),
        residuals=objective.measured - model,
        grid_check=dataclasses.replace(check, evaluations=check.evaluations + 1), fine_refit=fine,
        warnings=tuple(warnings), wall_time=r.wall_time, start_values=_named(objective, r.names, objective.start(
            [objective.settings.parameters[n] for n in objective.settings.fit])),
        systematic_errors=systematic.errors if systematic else None, systematic=systematic, profile=intervals,
        jacobian=r.jacobian, unit_scale=r.unit_scale)


def summary_columns(results):
    """(names, columns) of the refinement in a batch summary: the refined error, each quantity's
    refined value and standard error, converged, the number of warnings; none when no result
    was refined.  They follow fit_zscan's columns, whose places stay where they were."""
    refined = [r.refined for r in results if r is not None and r.refined is not None]
    if not refined:
        return (), []
    names = refined[0].names
    return names, (["refined_error"] + [c for n in names for c in (f"{n}_refined", f"{n}_se")]
                   + ["converged", "warnings"])


def summary_cells(result, names, columns):
    """One row's cells under summary_columns (empty for a file without a refined result)."""
    if not columns:
        return []
    if result is None or result.refined is None:
        return [""] * len(columns)
    a = result.refined
    cells = [repr(a.error)]
    for n in names:
        cells += [repr(a.parameters[n]), repr(a.standard_errors[n])]
    return cells + [str(a.converged).lower(), str(len(result.warnings))]
