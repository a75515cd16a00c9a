"""One fit: a measurement and its settings through kelp_wrapper.fit_zscan (the on-axis model)
or the refinement from each start (the open-aperture model, kelp_cli.open_fit), and its result."""
import dataclasses
import importlib.metadata
import math
import platform
import time

import numpy as np

import kelp_cli
from kelp_cli.errors import FitFailed, InputError, ToolError
from kelp_cli.integrator import IntegratorWatch
from kelp_cli.settings import PARAMETER_NAMES


def default_fit_function():
    try:
        import kelp_wrapper
    except ImportError as e:
        raise ToolError(f"cannot import kelp_wrapper ({e}); build it with scripts/build and put "
                        "<build>/wrapper on PYTHONPATH, or install the package") from None
    return kelp_wrapper.fit_zscan


@dataclasses.dataclass(frozen=True)
class FitResult:
    """fit_zscan's result for the on-axis model; for the open-aperture model, which fit_zscan
    does not fit, the best start's optimum (then refined holds that optimum assessed)."""
    measurement: object
    settings: object
    start: dict        # name -> start value (all eight)
    fitted: dict       # name -> value after the fit (all eight; only settings.fit changed)
    error: float
    residuals: np.ndarray  # measured - model, scan after scan
    wall_time: float       # s, the fit (fit_zscan's call, or every start's refinement)
    integrator: object = None  # the IntegratorWatch that holds DLSODA's messages of the fit
    refined: object = None  # kelp_cli.assess.Assessment, unless the refinement was left out
    warnings: tuple = ()    # the sanity checks', the refinement's and the grid check's, in words

    @property
    def model(self):
        """Model transmittance at each measured point, shape (scans, n)."""
        m = self.measurement
        return m.transmittance - self.residuals.reshape(m.scans, len(m.positions))


def check_matches(measurement, settings):
    """One pulse energy per transmittance column, or an InputError naming both files."""
    energies = len(settings.pulse_energies)
    if measurement.scans != energies:
        raise InputError(
            f"found {measurement.scans} transmittance column{'s' if measurement.scans != 1 else ''} "
            f"({', '.join(measurement.columns)}), but {settings.origin()} gives {energies} pulse "
            f"energ{'ies' if energies != 1 else 'y'}; expected one pulse energy per transmittance column",
            path=measurement.path, line=measurement.header_line)


def fit(measurement, settings, fit_function=None, watch=None, refine=True, fine_grid=False, threads=None):
    """Fit the settings' chosen parameters to the measurement; raises FitFailed for a NaN result.

    DLSODA's messages of the fit and of the refinement go to watch (an IntegratorWatch; a fresh
    one by default).  refine: continue from fit_zscan's result to the optimum of its objective,
    with standard errors and the grid check (kelp_cli.assess); fine_grid: refine once more on
    the doubled grid; threads: Jacobian columns evaluated at once.  The open-aperture model is
    fitted by kelp_cli.open_fit (fit_function is not called): refine=False then leaves out the
    standard errors, the grid check and the focus.
    """
    from kelp_cli import sanity
    check_matches(measurement, settings)
    measurement, warnings = sanity.check_measurement(measurement, settings)
    watch = watch or IntegratorWatch()
    if settings.model == "open-aperture":
        from kelp_cli import open_fit
        return open_fit.fit(measurement, settings, watch, warnings, refine_result=refine, fine_grid=fine_grid,
                            threads=threads)
    fit_function = fit_function or default_fit_function()
    n = len(measurement.positions)
    scans = measurement.scans
    # fit_zscan wants 1-D, C-contiguous, writable float64 arrays (int32 indices), scan after scan.
    x_data = np.ascontiguousarray(np.tile(measurement.positions, scans), dtype=np.float64)
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
    refined = None
    if refine:
        from kelp_cli.assess import assess
        try:
            with watch.attached():
                refined = assess(result, fine_grid=fine_grid, threads=threads, attached=watch.attached)
            warnings += refined.warnings
        except (ValueError, np.linalg.LinAlgError) as e:
            # fit_zscan's result stands on its own: keep it, and say that it is all there is.
            warnings.append(f"the refinement failed ({e}): the result is fit_zscan's alone, without standard "
                            "errors")
    return dataclasses.replace(result, refined=refined, warnings=tuple(warnings))


def versions():
    """Versions of what produced a result; None where a piece runs from a build tree."""
    def dist_version(module):
        for dist in importlib.metadata.packages_distributions().get(module, []):
            try:
                return importlib.metadata.version(dist)
            except importlib.metadata.PackageNotFoundError:
                pass
        return None

    import matplotlib
    return {"kelp_cli": kelp_cli.__version__, "kelp_wrapper": dist_version("kelp_wrapper"),
            "python": platform.python_version(), "numpy": np.__version__, "matplotlib": matplotlib.__version__}


def result_document(result, png_path=None):
    """The JSON result: fitted parameters by name, error, residuals, settings, wall time, versions."""
    m, s = result.measurement, result.settings
    model = result.model
    scans = []
    for k, column in enumerate(m.columns):
        scans.append({
            "column": column,
            "pulse_energy_J": s.pulse_energies[k],
            "position_mm": m.positions.tolist(),
            "measured": m.transmittance[k].tolist(),
            "model": model[k].tolist(),
            "residuals": result.residuals.reshape(m.scans, -1)[k].tolist(),
        })
    return {
        "data_file": m.path,
        "data_format": m.format_document(),
        "settings_file": s.source,
        "overrides": list(s.overrides),
        "figure_file": png_path,
        "fitted_parameters": {name: result.fitted[name] for name in s.fit},
        "start_parameters": {name: result.start[name] for name in s.fit},
        "parameters": dict(result.fitted),
        "parameter_units": {name: "cm^2" if name.startswith("k") else "s" for name in PARAMETER_NAMES},
        "error": result.error,
        "residuals": result.residuals.tolist(),
        "scans": scans,
        "settings": s.to_dict(),
        "wall_time_s": result.wall_time,
        "integrator_messages": result.integrator.messages if result.integrator else None,
        "versions": versions(),
        **refined_entries(result),
    }


def refined_entries(result):
    """The refinement's keys of the result: "refined" and "grid_check" when it ran, "warnings"."""
    out = {}
    if result.refined is not None:
        out["refined"] = result.refined.document()
        out["grid_check"] = result.refined.grid_document()
    out["warnings"] = list(result.warnings)
    return out
