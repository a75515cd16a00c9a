"""The beam calibrated on a reference sample: its coefficients known (the settings' values, not
fitted), the beam's waist (or Rayleigh range) and M2 fitted, with the focus and a baseline if
asked for.  The result is a kelp.io.beam.Beam: the waist and M2 with their standard errors
and correlation, which samples measured with the same beam then take as given, the standard
errors becoming a systematic error of their fitted values.
"""
import datetime
import math

import numpy as np

from kelp.errors import FitFailed, InputError
from kelp.io.beam import Beam
from kelp.fit.objective import waist_of


def check_reference(settings, origin):
    """settings when they fit the beam and nothing of the sample; else an InputError."""
    if settings.fit:
        raise InputError(f"setting 'fit': a calibration fits the beam on a reference whose coefficients are known; "
                         f"give the known value of {', '.join(settings.fit)} and fit w0 (or rayleigh_range), and M2, "
                         "focus, offset or tilt if needed", path=origin)
    if not {"w0", "rayleigh_range"} & set(settings.fit_beam):
        raise InputError("setting 'fit': a calibration fits the waist: name w0 or rayleigh_range", path=origin)
    return settings


def beam_of(result, settings_path):
    """The Beam of a calibration's refined result; FitFailed when the reference does not
    determine the waist."""
    a, s = result.refined, result.settings
    if a is None:
        raise FitFailed(f"{result.measurement.path}: the calibration gave no refined result: "
                        + "; ".join(result.warnings))
    names = list(a.names)
    m2 = a.parameters.get("M2", s.M2)
    m2_se = a.standard_errors.get("M2", 0.0)
    if "w0" in a.parameters:
        w0, w0_se, waist = a.parameters["w0"], a.standard_errors["w0"], "w0"
    else:
        # w0 = sqrt(z_R M2 lambda / pi): half the relative error of z_R (M2's share is its own).
        z_r = a.parameters["rayleigh_range"]
        w0, waist = waist_of(z_r, s, m2), "rayleigh_range"
        w0_se = 0.5 * w0 * a.standard_errors[waist] / z_r
    if not (math.isfinite(w0_se) and math.isfinite(m2_se)):
        raise FitFailed(f"{result.measurement.path}: the reference does not determine the beam (standard error of "
                        f"{waist if not math.isfinite(w0_se) else 'M2'} undetermined); see the warnings")
    correlation = 0.0
    if "M2" in names:
        rho = float(np.asarray(a.correlation)[names.index(waist), names.index("M2")])
        correlation = rho if math.isfinite(rho) else 0.0
    return Beam(w0=float(w0), M2=float(m2), w0_se=float(w0_se), M2_se=float(m2_se), correlation=correlation,
                wavelength=s.wavelength, reference=result.measurement.path, reference_settings=str(settings_path),
                date=datetime.datetime.now().isoformat(timespec="seconds"))
