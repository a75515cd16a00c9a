"""The JSON document of a fit: what `kelp fit` writes and FitReport.document returns."""
import importlib.metadata
import platform

import numpy as np

import kelp
from kelp.models.parameters import PARAMETER_UNITS_ASCII


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
    return {"kelp": kelp.__version__, "kelp_wrapper": dist_version("kelp_wrapper"),
            "python": platform.python_version(), "numpy": np.__version__, "matplotlib": matplotlib.__version__}


def result_document(result, png_path=None):
    """The JSON result: fitted parameters by name, error, residuals, settings, wall time, versions."""
    m, s = result.measurement, result.settings
    model = result.model
    scans = []
    x = m.per_scan()
    for k, column in enumerate(m.columns):
        scans.append({
            "column": column,
            "pulse_energy_J": s.pulse_energies[k],
            "position_mm": x[k].tolist(),
            "measured": m.transmittance[k].tolist(),
            "model": model[k].tolist(),
            "residuals": result.residuals.reshape(m.scans, -1)[k].tolist(),
        })
        if m.deviation is not None:
            scans[-1]["standard_deviation"] = m.deviation[k].tolist()
    return {
        "data_file": m.path,
        "data_format": m.format_document(),
        "settings_file": s.source,
        "overrides": list(s.overrides),
        "figure_file": png_path,
        "fitted_parameters": {name: result.fitted[name] for name in s.fit},
        "start_parameters": {name: result.start[name] for name in s.fit},
        "parameters": dict(result.fitted),
        "parameter_units": {name: PARAMETER_UNITS_ASCII[name] for name in result.fitted},
        "error": result.error,
        "residuals": result.residuals.tolist(),
        "scans": scans,
        "settings": s.to_dict(),
        **lab_entries(result),
        "wall_time_s": result.wall_time,
        "integrator_messages": result.integrator.messages if result.integrator else None,
        "versions": versions(),
        **refined_entries(result),
    }


def lab_entries(result):
    """What a lab gave beside what the model used: lab units, the beam file, the weights."""
    m, s = result.measurement, result.settings
    out = {}
    if s.given:
        out["settings_given"] = dict(s.given)
    if s.beam is not None:
        out["beam"] = s.beam.document()
    if m.deviation is not None:
        out["weights"] = "standard deviations: 1 / sd^2"
    if result.notes:
        out["notes"] = list(result.notes)
    return out


def refined_entries(result):
    """The refinement's keys of the result: "refined" and "grid_check" when it ran, "warnings",
    "profile" where the profile intervals were computed, and "systematic" (the systematic
    uncertainties by input) where an input has an uncertainty, "advice" on the next scan where
    it was asked for."""
    out = {}
    if result.refined is not None:
        out["refined"] = result.refined.document()
        out["grid_check"] = result.refined.grid_document()
    out["warnings"] = list(result.warnings)
    if result.refined is not None and result.refined.profile is not None:
        out["profile"] = result.refined.profile.document()
    if result.refined is not None and result.refined.systematic is not None:
        out["systematic"] = result.refined.systematic.document()
    if result.refined is not None and result.refined.advice is not None:
        out["advice"] = result.refined.advice.document()
    return out
