"""One fit: a measurement and its settings through the fit of the settings' model, then the
end every fit shares (the optimum assessed, or the reason why not, in the warnings).

How a model is fitted is the registry's `fitted_by`: kelp_wrapper.fit_zscan from its starts
(then refined from the best start), or the refinement from each of fit_zscan's starts
(kelp.fit.starts).
"""
import dataclasses
import math
import time

import numpy as np

from kelp.core.integrator import IntegratorWatch
from kelp.errors import FitFailed, InputError, ToolError
from kelp.fit import assess, sanity, starts
from kelp.fit.result import FitResult
from kelp.models import registry
from kelp.models.parameters import PARAMETER_NAMES


def default_fit_function():
    try:
        import kelp_wrapper
    except ImportError as e:
        raise ToolError(f"cannot import kelp_wrapper ({e}); build it with scripts/build and put "
                        "<build>/wrapper on PYTHONPATH, or install the package") from None
    return kelp_wrapper.fit_zscan


def check_matches(measurement, settings):
    """One pulse energy per transmittance column, or an InputError naming both files."""
    energies = len(settings.pulse_energies)
    if measurement.scans != energies:
        raise InputError(
            f"found {measurement.scans} transmittance column{'s' if measurement.scans != 1 else ''} "
            f"({', '.join(measurement.columns)}), but {settings.origin()} gives {energies} pulse "
            f"energ{'ies' if energies != 1 else 'y'}; expected one pulse energy per transmittance column",
            path=measurement.path, line=measurement.header_line)


def fit(measurement, settings, fit_function=None, watch=None, refine=True, fine_grid=False, threads=None,
        profile=False):
    """Fit the settings' chosen parameters to the measurement; raises FitFailed for a fit
    without a usable result.

    DLSODA's messages of the fit and of the refinement go to watch (an IntegratorWatch; a fresh
    one by default).  refine: continue to the optimum of fit_zscan's objective, with standard
    errors and the grid check (kelp.fit.assess); fine_grid: refine once more on the doubled
    grid; threads: Jacobian columns evaluated at once; profile: profile-likelihood intervals of
    every fitted quantity too (kelp.fit.profile), on as many threads.  fit_function stands in for
    kelp_wrapper.fit_zscan; a model fitted from its starts does not call it, and refine=False
    then leaves out the standard errors, the grid check and the focus.
    """
    check_matches(measurement, settings)
    measurement, warnings = sanity.check_measurement(measurement, settings)
    watch = watch or IntegratorWatch()
    fitted_by = registry.get(settings.model).fitted_by
    if not settings.fit:
        fitted_by = registry.STARTS  # fit_zscan fits the sample's parameters only
    method = _METHODS[fitted_by]
    result, assessment, failed = method(measurement, settings, watch, warnings, fit_function, refine, fine_grid,
                                        threads, profile)
    if assessment is None:
        return dataclasses.replace(result, warnings=tuple(warnings))
    try:
        with watch.attached():
            refined = assessment()
    except (ValueError, np.linalg.LinAlgError) as e:
        # The fit's own result stands on its own: keep it, and say that it is all there is.
        warnings.append(f"{failed[0]} failed ({e}): the result is {failed[1]}, without standard errors")
        return dataclasses.replace(result, warnings=tuple(warnings))
    return dataclasses.replace(result, refined=refined, warnings=tuple(warnings + list(refined.warnings)))


def _by_fit_zscan(measurement, settings, watch, warnings, fit_function, refine, fine_grid, threads, profile):
    """kelp_wrapper.fit_zscan's fit; the assessment refines from its best start."""
    fit_function = fit_function or default_fit_function()
    n = len(measurement.positions)
    scans = measurement.scans
    # fit_zscan wants 1-D, C-contiguous, writable float64 arrays (int32 indices), scan after scan.
    x_data = np.ascontiguousarray(np.asarray(measurement.per_scan(), dtype=np.float64).reshape(-1))
    y_data = np.array(measurement.transmittance, dtype=np.float64).reshape(-1)
    populations = np.array(settings.populations, dtype=np.float64)
    pulse_energy = np.array(settings.pulse_energies, dtype=np.float64)
    spec_pars = np.array(settings.spec_pars(), dtype=np.float64)
    fit_indices = np.array(settings.fit_indices(), dtype=np.int32)
    started = time.perf_counter()
    try:
        with watch.attached():
            residuals, error, fitted = fit_function(
                x_data, y_data, populations, settings.t_slices, settings.z_slices, settings.sample_width,
                settings.tau, settings.wavelength, settings.w0, settings.M2, pulse_energy, spec_pars, fit_indices,
                n, scans, is_sa=settings.is_sa, n_starts=settings.n_starts)
    except (ValueError, TypeError, IndexError, OverflowError) as e:
        raise ToolError(f"{measurement.path}: the fit rejected its input: {e}") from None
    wall_time = time.perf_counter() - started
    result = FitResult(measurement=measurement, settings=settings, start=dict(settings.parameters),
                       fitted={name: float(v) for name, v in zip(PARAMETER_NAMES, fitted)}, error=float(error),
                       residuals=np.array(residuals, dtype=np.float64), wall_time=wall_time, integrator=watch)
    bad = [name for name in settings.fit if not math.isfinite(result.fitted[name])]
    if not math.isfinite(result.error) or bad or not np.all(np.isfinite(result.residuals)):
        what = f"parameter {bad[0]} is {result.fitted[bad[0]]}" if bad else f"error is {result.error}"
        said = f" (DLSODA wrote {watch.messages} messages)" if watch.messages else ""
        raise FitFailed(f"{measurement.path}: the fit gave no usable result: the {what}{said}; check the start "
                        "values and the settings")
    warnings += sanity.check_fitted(result.fitted, settings, refine)
    if not refine:
        if settings.fit_beam:
            warnings.append(f"{', '.join(settings.fit_beam)} stay at the settings' values: the beam is fitted in the "
                            "refinement, which was left out")
        return result, None, None
    if measurement.deviation is not None:
        result = dataclasses.replace(result, notes=(
            "the standard deviations weight the refinement; fit_zscan fits with its own weights, so its result is "
            "only the refinement's start",))

    def assessment():
        return assess.assess(result, fine_grid=fine_grid, threads=threads, attached=watch.attached, profile=profile)

    return result, assessment, ("the refinement", "fit_zscan's alone")


def _by_starts(measurement, settings, watch, warnings, fit_function, refine, fine_grid, threads, profile):
    result, assessment = starts.fit(measurement, settings, watch, warnings, refine_result=refine,
                                    fine_grid=fine_grid, threads=threads, profile=profile)
    return result, assessment, ("the assessment of the fit", "the best start's optimum")


_METHODS = {registry.FIT_ZSCAN: _by_fit_zscan, registry.STARTS: _by_starts}
