"""Simulated measurements and model callables: the core's forward models at given settings.

Two models (settings.model): "on-axis", the fit's own model (kelp_wrapper.fit_zscan), and
"open-aperture", the energy transmittance of the whole beam and pulse over the linear
transmittance.
"""
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


def curves(settings, x_mm, spec_pars, t_slices=None, z_slices=None):
    """The settings' model at x_mm (mm, taken as given) and spec_pars (k1 .. tau8), flat, scan
    after scan; t_slices and z_slices, when given, replace the settings' grid."""
    forward = _model()
    args = ([float(x) for x in x_mm], list(settings.pulse_energies), list(settings.populations),
            [float(p) for p in spec_pars], settings.t_slices if t_slices is None else t_slices,
            settings.z_slices if z_slices is None else z_slices, settings.sample_width, settings.tau,
            settings.wavelength, settings.w0, settings.M2)
    if settings.model == "open-aperture":
        flat = forward.open_aperture_curves(*args, radial_nodes=settings.radial_nodes,
                                            time_window=settings.time_window)
    else:
        flat = forward.model_curves(*args)
    return np.array(flat, dtype=np.float64)


def model_function(settings):
    """The settings' model as a callable f(positions_mm, spec_pars) -> array (scans, positions).

    spec_pars: the eight parameters k1 .. tau8 in PARAMETER_NAMES order; everything else
    (energies, populations, beam, grid, the model and its radial and time settings) comes from
    settings.  Positions are taken as given: the caller centres them.  Each call is one model
    evaluation; the open-aperture model runs with the interpreter lock released, so calls
    from several threads overlap.
    """
    _model()  # a missing module fails here rather than at the first evaluation
    scans = len(settings.pulse_energies)

    def model(x_mm, spec_pars):
        return curves(settings, x_mm, spec_pars).reshape(scans, len(x_mm))

    return model


def simulate(settings, x_mm, noise=0.0, seed=1):
    """Model transmittance of every scan of settings at x_mm: shape (scans, len(x_mm)).

    noise > 0 adds Gaussian noise of that standard deviation, drawn from NumPy's default
    generator seeded with seed, so the same seed gives the same data.
    """
    curves = model_function(settings)(x_mm, settings.spec_pars())
    if noise > 0:
        curves += np.random.default_rng(seed).normal(0.0, noise, size=curves.shape)
    return curves
