"""Simulated measurements: the core's forward model at given settings, with optional seeded noise."""
import numpy as np

from kelp_cli.errors import ToolError


def _model():
    try:
        from kelp_cli import _forward
    except ImportError as e:
        raise ToolError(f"the forward model kelp_cli._forward is not available ({e}); build it with "
                        "scripts/build and put <build>/wrapper on PYTHONPATH, or install the package") from None
    return _forward


def positions(x_min, x_max, points):
    """Evenly spaced positions in mm, both ends included (the spacing kelp_curve uses)."""
    if points < 2:
        return np.array([x_min], dtype=np.float64)
    return np.array([(i * (x_max - x_min)) / (points - 1) + x_min for i in range(points)], dtype=np.float64)


def simulate(settings, x_mm, noise=0.0, seed=1):
    """Model transmittance of every scan of settings at x_mm: shape (scans, len(x_mm)).

    noise > 0 adds Gaussian noise of that standard deviation, drawn from NumPy's default
    generator seeded with seed, so the same seed gives the same data.
    """
    model = _model()
    flat = model.model_curves(
        [float(x) for x in x_mm], list(settings.pulse_energies), list(settings.populations), settings.spec_pars(),
        settings.t_slices, settings.z_slices, settings.sample_width, settings.tau, settings.wavelength,
        settings.w0, settings.M2)
    curves = np.array(flat, dtype=np.float64).reshape(len(settings.pulse_energies), len(x_mm))
    if noise > 0:
        curves += np.random.default_rng(seed).normal(0.0, noise, size=curves.shape)
    return curves
