"""Checks at fit time of what a lab file commonly gets wrong; the fit still runs.

- Positions in the wrong unit: a Z-scan stage moves the sample some millimetres to tens of
  centimetres, so a span under 1 mm looks like metres, one over 2 m like micrometres.
- Rows out of position order: the model levels each curve by the mean of its first and its
  last five positions, taken as the wings; a file whose positions are neither rising nor
  falling would level on points near the focus, so its rows are sorted by position.
- A fitted value at or below zero from fit_zscan (its steps are unconstrained): no physical
  cross-section or lifetime; the refinement starts from the settings' start value instead.
"""
import dataclasses

import numpy as np

from kelp.fit.objective import rayleigh_range_mm
from kelp.models.parameters import PARAMETER_UNITS

METRES_BELOW_MM = 1.0
MICROMETRES_ABOVE_MM = 2000.0


def check_measurement(measurement, settings):
    """(measurement, warnings): the measurement with its rows in position order."""
    warnings = []
    x = np.asarray(measurement.positions, dtype=np.float64)
    span = float(x.max() - x.min())
    z_r = rayleigh_range_mm(settings)
    if span < METRES_BELOW_MM:
        warnings.append(f"the positions span only {span:.4g} mm ({span / z_r:.2g} Rayleigh ranges of "
                        f"{z_r:.3g} mm): they look like metres; the positions must be in mm")
    elif span > MICROMETRES_ABOVE_MM:
        warnings.append(f"the positions span {span:.4g} mm ({span / z_r:.3g} Rayleigh ranges of {z_r:.3g} mm): "
                        "they look like micrometres; the positions must be in mm")
    steps = np.diff(x)
    if not (np.all(steps >= 0) or np.all(steps <= 0)):
        order = np.argsort(x, kind="stable")
        measurement = dataclasses.replace(
            measurement, positions=np.ascontiguousarray(x[order]),
            transmittance=np.ascontiguousarray(np.asarray(measurement.transmittance)[:, order]))
        warnings.append("the rows are not in position order: sorted them by position (the model takes its "
                        "baseline from the first and the last five positions)")
    return measurement, warnings


def check_fitted(fitted, settings, refine):
    """Warnings for fitted values that no sample can have."""
    warnings = []
    for name in settings.fit:
        v = fitted[name]
        if v <= 0:
            then = "; the refinement starts from the settings' start value instead" if refine else ""
            warnings.append(f"fit_zscan's {name} is {'negative' if v < 0 else 'zero'} ({v:.4g} "
                            f"{PARAMETER_UNITS[name]}): not a physical value{then}")
    return warnings
