"""Checks at fit time of what a lab file commonly gets wrong; the fit still runs.

- Positions in the wrong unit: a Z-scan stage moves the sample some millimetres to tens of
  centimetres, so a span under 1 mm looks like metres, one over 2 m like micrometres.
- Rows out of position order: the model levels each curve by the mean of its first and its
  last five positions, taken as the wings; a file whose positions are neither rising nor
  falling would level on points near the focus, so its rows are sorted by position.
- A fitted value at or below zero from fit_zscan (its steps are unconstrained): no physical
  cross-section or lifetime; the refinement starts from the settings' start value instead.
- Wings far from 1: a normalised transmittance is 1 where the sample sees no nonlinearity;
  wings far off it are likely raw readings, which a scan table normalises (normalise = true).

What cannot be a normalised Z-scan at all is refused before the fit, with the file, the line
and the column of the first offending point: a transmittance that is not positive or beyond
any nonlinear transmittance (a normalised one above MAX_TRANSMITTANCE), a position beyond any
stage, a scan with fewer distinct positions than the model needs, and fewer points than
fitted quantities.
"""
import dataclasses

import numpy as np

from kelp.errors import InputError
from kelp.fit.objective import Objective, rayleigh_range_mm
from kelp.io.measurement import MIN_POSITIONS, wing_mean
from kelp.models.parameters import PARAMETER_UNITS

METRES_BELOW_MM = 1.0
MICROMETRES_ABOVE_MM = 2000.0
# A normalised transmittance is 1 in the wings; a saturable absorber's peak seldom reaches 2.
MAX_TRANSMITTANCE = 10.0
MAX_POSITION_MM = 1e6  # a kilometre: no stage
WINGS_OFF = 0.2        # wings this far from 1 are worth a word


def _refuse(measurement, k, i, column, message):
    path, line = measurement.where(k, i)
    raise InputError(f"column '{column}': {message}", path=path, line=line)


def refuse_impossible(measurement, settings):
    """An InputError for data that cannot be a normalised Z-scan, at its first offending point."""
    x_all = np.asarray(measurement.per_scan(), dtype=np.float64)
    t_all = np.asarray(measurement.transmittance, dtype=np.float64)
    for k, (x, t) in enumerate(zip(x_all, t_all)):
        column = measurement.columns[k]
        for i, v in enumerate(t):
            if not v > 0:
                _refuse(measurement, k, i, column, f"a transmittance of {v:g} is impossible: a normalised "
                        "transmittance is positive, about 1 far from the focus")
            if v > MAX_TRANSMITTANCE:
                _refuse(measurement, k, i, column, f"a transmittance of {v:g} is not a normalised one (about 1 far "
                        f"from the focus, below {MAX_TRANSMITTANCE:g} anywhere); raw readings are normalised by a "
                        "scan table's normalise = true")
        for i, v in enumerate(x):
            if abs(v) > MAX_POSITION_MM:
                _refuse(measurement, k, i, measurement.position_column, f"a position of {v:g} mm is beyond any "
                        "translation stage")
        distinct = len(np.unique(x))
        if distinct < MIN_POSITIONS:
            what = f"all at {x[0]:g} mm" if distinct == 1 else f"only {distinct} distinct positions"
            _refuse(measurement, k, 0, measurement.position_column, f"the positions of scan '{column}' do not span "
                    f"a scan ({what}); the model needs at least {MIN_POSITIONS} distinct positions per scan")
    quantities = len(Objective.of(measurement, settings).names)
    if t_all.size <= quantities:
        raise InputError(f"{t_all.size} measured points cannot determine {quantities} fitted quantities; fit fewer "
                         "or measure more", path=measurement.path)


def _wing_warnings(measurement):
    out = []
    for k, (x, t) in enumerate(zip(measurement.per_scan(), measurement.transmittance)):
        level = wing_mean(np.asarray(t)[np.argsort(x, kind="stable")])
        if abs(level - 1.0) > WINGS_OFF:
            out.append(f"scan '{measurement.columns[k]}': its wings average {level:.3g}, not 1, far from the focus "
                       "where a normalised transmittance is 1: are these raw readings (a scan table's normalise = "
                       "true divides them by the wings)?")
    return out


def _sorted(measurement):
    """The measurement with each scan's points in position order."""
    x = np.asarray(measurement.per_scan(), dtype=np.float64)
    order = np.argsort(x, axis=1, kind="stable")

    def take(a):
        return None if a is None else np.ascontiguousarray(np.take_along_axis(np.asarray(a), order, axis=1))

    scan_x = take(x)
    shared = all(np.array_equal(scan_x[0], row) for row in scan_x)
    return dataclasses.replace(measurement, positions=np.ascontiguousarray(scan_x[0]),
                               scan_x=None if shared and measurement.scan_x is None else scan_x,
                               transmittance=take(measurement.transmittance), deviation=take(measurement.deviation),
                               lines=take(measurement.lines))


def check_measurement(measurement, settings):
    """(measurement, warnings): the measurement with its rows in position order; an InputError
    for data that cannot be a Z-scan."""
    refuse_impossible(measurement, settings)
    warnings = []
    x = np.asarray(measurement.per_scan(), dtype=np.float64)
    span = float(np.max(x.max(axis=1) - x.min(axis=1)))
    z_r = rayleigh_range_mm(settings)
    if span < METRES_BELOW_MM:
        warnings.append(f"the positions span only {span:.4g} mm ({span / z_r:.2g} Rayleigh ranges of "
                        f"{z_r:.3g} mm): they look like metres; the positions must be in mm")
    elif span > MICROMETRES_ABOVE_MM:
        warnings.append(f"the positions span {span:.4g} mm ({span / z_r:.3g} Rayleigh ranges of {z_r:.3g} mm): "
                        "they look like micrometres; the positions must be in mm")
    steps = np.diff(x, axis=1)
    if not all(np.all(row >= 0) or np.all(row <= 0) for row in steps):
        measurement = _sorted(measurement)
        warnings.append("the rows are not in position order: sorted them by position (the model takes its "
                        "baseline from the first and the last five positions)")
    return measurement, warnings + _wing_warnings(measurement)


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
