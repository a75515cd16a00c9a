"""Simulated measurements and model callables: the core's forward models at given settings.

The settings name their model (kelp.models.registry); its record evaluates it through the core.
"""
import numpy as np

from kelp.core import extension
from kelp.models import registry
from kelp.models.parameters import PARAMETER_NAMES


def positions(x_min, x_max, points):
    """Evenly spaced positions in mm, both ends included (the spacing kelp_curve uses)."""
    if points < 2:
        return np.array([x_min], dtype=np.float64)
    return np.array([(i * (x_max - x_min)) / (points - 1) + x_min for i in range(points)], dtype=np.float64)


def by_name(settings, parameters):
    """Parameters by name: a mapping as it is, or the eight k1 .. tau8 in their order, with the
    settings' values of any other parameter its model reads."""
    if isinstance(parameters, dict):
        return parameters
    return {**settings.parameters, **dict(zip(PARAMETER_NAMES, parameters))}


def curves(settings, x_mm, parameters, t_slices=None, z_slices=None):
    """The settings' model at x_mm (mm, taken as given) and parameters (by name, or k1 .. tau8
    in order), flat, scan after scan; t_slices and z_slices, when given, replace the settings'
    grid."""
    model = registry.get(settings.model)
    flat = model.evaluate(settings, x_mm, by_name(settings, parameters),
                          settings.t_slices if t_slices is None else t_slices,
                          settings.z_slices if z_slices is None else z_slices)
    return np.array(flat, dtype=np.float64)


def model_function(settings):
    """The settings' model as a callable f(positions_mm, parameters) -> array (scans, positions).

    parameters: by name, or the eight k1 .. tau8 in PARAMETER_NAMES order; everything else
    (energies, populations, beam, grid, the model and its radial and time settings) comes from
    settings.  Positions are taken as given: the caller centres them.  Each call is one model
    evaluation; the core evaluates without the interpreter lock, so calls from several
    threads overlap.
    """
    extension()  # a missing module fails here rather than at the first evaluation
    scans = len(settings.pulse_energies)

    def model(x_mm, parameters):
        return curves(settings, x_mm, parameters).reshape(scans, len(x_mm))

    return model


def simulate(settings, x_mm, noise=0.0, seed=1):
    """Model transmittance of every scan of settings at x_mm: shape (scans, len(x_mm)).

    noise > 0 adds Gaussian noise of that standard deviation, drawn from NumPy's default
    generator seeded with seed, so the same seed gives the same data.
    """
    curves = model_function(settings)(x_mm, settings.parameters)
    if noise > 0:
        curves += np.random.default_rng(seed).normal(0.0, noise, size=curves.shape)
    return curves
