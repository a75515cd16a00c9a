"""The fitted model as a smooth curve over the measured span, consistent with the fit's model.

Two things make a naive fine-grid evaluation differ from the model the fit compared with the
data: the fit moves the positions so that the extreme of the measured transmittance sits at 0,
and the model levels each scan by the mean of its first and last five positions, which on a
fine grid are other positions.  So the curve is evaluated at the fit's shifted positions and
takes its level from the measured positions: at those it equals the fit's model.  A model that
is not levelled (the registry's `levelled`: it divides by the linear transmittance instead) has
no level to take: its curve is the model itself at the shifted positions, and at the measured
ones it is the fit's model.  Such a model costs more per evaluation, so its curve has fewer
points, spaced evenly from the focus outwards: a point and its mirror image are then the same
distance from the focus bit for bit, and the model integrates them once.
"""
import math

import numpy as np

from kelp.core import extension
from kelp.fit.objective import FOCUS, centre
from kelp.models import forward, registry
from kelp.models.parameters import PARAMETER_NAMES


def wing_level(ratios):
    """Mean of the first and the last five ratios, summed in the model's order (the core's)."""
    return extension().wing_level(np.ascontiguousarray(ratios, dtype=np.float64))


def smooth(result):
    """Whether fitted_curves draws result: scans at shared positions, and nothing fitted beyond
    the sample's parameters and one focus (a fitted beam or baseline is drawn at the measured
    positions only)."""
    names = result.refined.names if getattr(result, "refined", None) is not None else ()
    return result.measurement.scan_x is None and all(n in result.settings.fit or n == FOCUS for n in names)


def fitted_curves(result, points=None):
    """(grid in mm, model on the grid (scans, about points), model at the measured positions
    (scans, n)) at the fitted parameters: the refined ones (and the refined focus) where there
    are some.  The grid runs from the lowest to the highest measured position; points defaults
    to the model's curve_points."""
    m, s = result.measurement, result.settings
    model = registry.get(s.model)
    points = points or model.curve_points
    n = len(m.positions)
    parameters = dict(result.fitted)
    shift = centre(m, s.is_sa, s.detectors())
    if getattr(result, "refined", None) is not None:
        for name, value in result.refined.parameters.items():
            if name in parameters:
                parameters[name] = value
            else:  # the focus, on the file's axis
                shift = value
    # The subtraction the fit makes, element by element, so that the positions are its own.
    measured = m.positions - shift
    pars = [parameters[p] for p in PARAMETER_NAMES]  # the on-axis core's order
    if not model.levelled:
        return _unlevelled_curves(m, s, measured, shift, parameters, points)
    rest = (s.t_slices, s.z_slices, s.sample_width, s.tau, s.wavelength, s.w0, s.M2)
    grid = np.linspace(m.positions.min(), m.positions.max(), points)
    x = np.concatenate([measured, grid - shift])
    ratios = np.array(extension().transmittance_ratios(x.tolist(), list(s.pulse_energies), list(s.populations), pars,
                                                    *rest)).reshape(m.scans, len(x))
    fine = np.empty((m.scans, points))
    at_measured = np.empty((m.scans, n))
    for k in range(m.scans):
        level = 1 - wing_level(ratios[k, :n])
        at_measured[k] = ratios[k, :n] + level
        fine[k] = ratios[k, n:] + level
    return grid, fine, at_measured


def _unlevelled_curves(m, s, measured, shift, pars, points):
    """The curve of a model without levelling: the measured span's ends (measured positions), and between them
    the multiples of one spacing from the focus (k·h and −k·h, mirror images bit for bit)."""
    n = len(measured)
    lo, hi = int(np.argmin(m.positions)), int(np.argmax(m.positions))
    h = (measured[hi] - measured[lo]) / max(points - 1, 1)
    inner = np.arange(math.floor(measured[lo] / h) + 1, math.ceil(measured[hi] / h)) * h if h > 0 else np.empty(0)
    inner = inner[(inner > measured[lo]) & (inner < measured[hi])]
    x = np.concatenate([measured, inner])
    curves = forward.curves(s, x, pars).reshape(m.scans, len(x))
    at_measured = curves[:, :n]
    grid = np.concatenate([[m.positions[lo]], inner + shift, [m.positions[hi]]])
    fine = np.concatenate([at_measured[:, [lo]], curves[:, n:], at_measured[:, [hi]]], axis=1)
    return grid, fine, at_measured
