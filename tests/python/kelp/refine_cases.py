"""Small measured cases for the refinement tests: settings and data simulated with the core's model.

Tiny grids (15 positions, 5 x 3 time x depth points) keep a model evaluation at a few
milliseconds; 100 ps pulses constrain k2 well, 5 ns pulses tie k2 to tau4.
"""
import numpy as np

TRUE = dict(k1=1e-18, k2=1e-17, k3=1e-17, tau4=1e-9, tau5=1e-8, tau6=1e-13, tau7=1e-6, tau8=1e-13)


def settings(fit, start_factor=2.0, **changes):
    """Settings (a kelp Settings) with the fitted parameters' starts start_factor x the truth."""
    from kelp.io.settings import settings_from_mapping
    parameters = {n: v * (start_factor if n in fit else 1.0) for n, v in TRUE.items()}
    parameters.update(changes.pop("parameters", {}))
    base = dict(pulse_energies=[0.5e-6, 1e-6], wavelength=532e-9, w0=20e-6, tau=1e-10, sample_width=1e-3,
                t_slices=5, z_slices=3, populations=[1e20, 0, 0, 0, 0], fit=list(fit), n_starts=3,
                parameters=parameters)
    base.update(changes)
    return settings_from_mapping(base)


def measurement(s, noise=0.0, seed=1, points=15, x_max=20.0, truth=None, focus=0.0):
    """Scans of s at the true parameters (or truth), focus at position focus (mm), seeded noise."""
    from kelp.api import measurement_from_arrays
    from kelp.models.forward import positions, simulate
    from kelp.io.settings import settings_from_mapping
    true = settings_from_mapping({**s.to_dict(), "parameters": {**TRUE, **(truth or {})}})
    x = positions(-x_max, x_max, points)
    y = simulate(true, x - focus)
    if noise:
        y = y + np.random.default_rng(seed).normal(0.0, noise, size=y.shape)
    return measurement_from_arrays(x, y, s.pulse_energies)
