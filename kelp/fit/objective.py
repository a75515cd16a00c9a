"""fit_zscan's objective, evaluated here with the core's forward model.

The same positions (every scan shifted by the position of the extreme of all measured
transmittances: the lowest, the highest for a saturable absorber; the first such point wins),
the same weights 1 + 4·exp(−(2x)²) with x the shifted position in metres, the same model
(kelp::model_curves: positions mm -> m, irradiance table, solve_system, as the fit's residual
function calls it) on the same grid, and the same norm.  At fit_zscan's parameters its
residuals and error come out bit for bit.

Another model of the registry (settings.model) changes the model and nothing else: the same
centring, weights and norm, so every model is fitted to the same objective.

With fit_focus, one more fitted quantity shifts every position by the same amount (mm, either
sign) on top of fit_zscan's centring; the weights follow the shifted positions, as they would
had fit_zscan centred there.  At a shift of 0 the objective is fit_zscan's own.
"""
import dataclasses
import math

import numpy as np

from kelp.core import extension
from kelp.fit import refine
from kelp.models import forward
from kelp.models import registry

FOCUS = "focus"  # name of the fitted focus shift


def _sqrt_weights(x_mm, scans):
    # The residual function's own arithmetic, from the core: sqrt(4 exp(-(2x)(2x)) + 1), x in m.
    return np.tile(np.array(extension().fit_weights(np.asarray(x_mm, dtype=np.float64)), dtype=np.float64), scans)


def rayleigh_range_mm(settings):
    """z_R = π w0² / (M² λ), in mm: the natural length of a Z-scan."""
    return (settings.w0 * settings.w0 * math.pi) / (settings.M2 * settings.wavelength) * 1000.0


def centre(measurement, is_sa):
    """The position fit_zscan moves to 0 (mm): that of the lowest measured transmittance over all
    scans, scan after scan as the fit takes them (the highest for a saturable absorber), the
    first on a tie."""
    y = np.ascontiguousarray(measurement.transmittance, dtype=np.float64).reshape(-1)
    k = extension().centre_index(y, is_sa)
    return float(np.asarray(measurement.positions, dtype=np.float64)[k % len(measurement.positions)])


@dataclasses.dataclass(frozen=True)
class Objective:
    settings: object
    positions: np.ndarray  # mm, as in the file (one scan; every scan shares them)
    measured: np.ndarray   # flat, scan after scan
    centre: float          # mm: the position that fit_zscan moves to 0
    fit_focus: bool = False
    t_slices: int = None   # the model's grid: the settings' own from Objective.of
    z_slices: int = None

    @classmethod
    def of(cls, measurement, settings, fit_focus=None):
        return cls(settings=settings, positions=np.asarray(measurement.positions, dtype=np.float64),
                   measured=np.array(measurement.transmittance, dtype=np.float64).reshape(-1),
                   centre=centre(measurement, settings.is_sa),
                   fit_focus=bool(settings.fit_focus if fit_focus is None else fit_focus),
                   t_slices=settings.t_slices, z_slices=settings.z_slices)

    @property
    def scans(self):
        return len(self.settings.pulse_energies)

    @property
    def names(self):
        """The fitted quantities: the settings' fitted parameters, then the focus shift."""
        return tuple(self.settings.fit) + ((FOCUS,) if self.fit_focus else ())

    def on_grid(self, t_slices, z_slices):
        return dataclasses.replace(self, t_slices=t_slices, z_slices=z_slices)

    def parameters(self, values):
        """Every parameter of the settings by name, the fitted ones at values."""
        pars = dict(self.settings.parameters)
        for name, v in zip(self.settings.fit, values):
            pars[name] = float(v)
        return pars

    def shift(self, values):
        return float(values[len(self.settings.fit)]) if self.fit_focus else 0.0

    def x_mm(self, shift=0.0):
        """The model's positions: centred as fit_zscan centres them (x - centre), then shifted;
        a shift of 0 changes no bit."""
        return (self.positions - self.centre) - shift

    @property
    def grid_order(self):
        """Order of convergence of the model in its grid (the registry's)."""
        return registry.get(self.settings.model).grid_order

    def model(self, values):
        """Model transmittance at every measured point, flat, scan after scan."""
        return forward.curves(self.settings, self.x_mm(self.shift(values)), self.parameters(values),
                              self.t_slices, self.z_slices)

    def sqrt_weights(self, shift=0.0):
        return _sqrt_weights(self.x_mm(shift), self.scans)

    def residuals(self, values):
        """Weighted residuals (measured - model) * sqrt(weight), as the fit's residual function
        computes them (the core's own arithmetic)."""
        x = np.ascontiguousarray(self.x_mm(self.shift(values)), dtype=np.float64)
        return np.array(extension().weighted_residuals(self.measured, self.model(values), x, self.scans),
                        dtype=np.float64)

    def error(self, values):
        return refine.error_norm(self.residuals(values))

    def problem(self, start):
        """The refinement problem from start (the fitted parameters' values, then the shift)."""
        start = np.array(start, dtype=np.float64)
        n = len(self.settings.fit)
        # The shift in Rayleigh ranges: a step of 1e-4 of z_R changes the curve about as much as
        # a relative step of 1e-4 in a parameter it depends on in proportion.
        return refine.Problem(names=self.names, start=start, residuals=self.residuals,
                              positive=(True,) * n + ((False,) if self.fit_focus else ()),
                              scales=(1.0,) * n + ((rayleigh_range_mm(self.settings),) if self.fit_focus else ()))
