"""fit_zscan's objective, evaluated here with the core's forward model.

The same positions (every scan shifted by the position of the extreme of all measured
transmittances: the lowest, the highest for a saturable absorber; the first such point wins),
the same weights 1 + 4·exp(−(2x)²) with x the shifted position in metres, the same model
(kelp::model_curves: positions mm -> m, irradiance table, solve_system, as the fit's residual
function calls it) on the same grid, and the same norm.  At fit_zscan's parameters its
residuals and error come out bit for bit.

Another model of the registry (settings.model) changes the model and nothing else: the same
centring, weights and norm, so every model is fitted to the same objective.

With fit_focus, one more fitted quantity per file shifts its positions by the same amount (mm,
either sign) on top of fit_zscan's centring; the weights follow the shifted positions, as they
would had fit_zscan centred there.  At a shift of 0 the objective is fit_zscan's own.

The beam may be fitted too: w0 (or the Rayleigh range in mm) and M2 change the model's beam,
and a linear baseline per scan multiplies its model by 1 + offset + tilt·x (x in mm from the
focus).  A measurement with standard deviations (a deviation column of a scan table) is
weighted by them instead of fit_zscan's weights.  Without any of these, the objective is
fit_zscan's bit for bit.
"""
import dataclasses
import math

import numpy as np

from kelp.core import extension
from kelp.fit import refine
from kelp.models import forward
from kelp.models import registry
from kelp.models.parameters import PARAMETER_UNITS, SIGNED

FOCUS = "focus"  # name of the fitted focus shift (focus_1, focus_2, ... with one per file)
# Units of the beam's and the baseline's quantities in results.
QUANTITY_UNITS = {"focus": "mm", "w0": "m", "rayleigh_range": "mm", "M2": "", "offset": "", "tilt": "1/mm"}
# The unit of u of a quantity fitted as is: an offset of 1e-6 (a step of 1e-4 in u) moves the
# curve far above the integrator's noise and far below any baseline a lab sees.
OFFSET_SCALE = 0.01


def unit(name):
    """The unit of a fitted quantity by its name in results (k2, w0, focus_2, tilt_1)."""
    if name in PARAMETER_UNITS:
        return PARAMETER_UNITS[name]
    return QUANTITY_UNITS.get(kind(name), "")


def kind(name):
    """focus_2 -> focus, offset_1 -> offset; a plain name stays."""
    base, _, number = name.rpartition("_")
    return base if number.isdigit() and base in QUANTITY_UNITS else name


def _sqrt_weights(x_mm):
    # The residual function's own arithmetic, from the core: sqrt(4 exp(-(2x)(2x)) + 1), x in m.
    return np.array(extension().fit_weights(np.ascontiguousarray(x_mm, dtype=np.float64)), dtype=np.float64)


def rayleigh_range_mm(settings):
    """z_R = π w0² / (M² λ), in mm: the natural length of a Z-scan."""
    return (settings.w0 * settings.w0 * math.pi) / (settings.M2 * settings.wavelength) * 1000.0


def waist_of(rayleigh_mm, settings, M2):
    """w0 (m) of a beam of Rayleigh range rayleigh_mm (mm) at the settings' wavelength."""
    return math.sqrt(rayleigh_mm / 1000.0 * M2 * settings.wavelength / math.pi)


def centre(measurement, is_sa, detectors=None):
    """The position fit_zscan moves to 0 (mm): that of the lowest measured transmittance over all
    scans, scan after scan as the fit takes them (the highest for a saturable absorber), the
    first on a tie.

    A closed or divided scan has its extreme beside the focus (the valley and the peak of
    refraction), so only the open scans count where some are not open; with none open, the
    centre is midway between the lowest and the highest point of the scans."""
    y = np.ascontiguousarray(measurement.transmittance, dtype=np.float64)
    x = np.asarray(measurement.per_scan(), dtype=np.float64)
    rows = [k for k, d in enumerate(detectors or ()) if d == "open"]
    if not detectors or len(rows) == len(y):
        k = extension().centre_index(y.reshape(-1), is_sa)
        return float(x.reshape(-1)[k])
    if rows:
        k = extension().centre_index(np.ascontiguousarray(y[rows]).reshape(-1), is_sa)
        return float(x[rows].reshape(-1)[k])
    lo, hi = extension().centre_index(y.reshape(-1), False), extension().centre_index(y.reshape(-1), True)
    return float(0.5 * (x.reshape(-1)[lo] + x.reshape(-1)[hi]))


@dataclasses.dataclass(frozen=True)
class Objective:
    settings: object
    positions: np.ndarray  # (scans, n) mm, as in the files
    measured: np.ndarray   # flat, scan after scan
    centre: float          # mm: the position that fit_zscan moves to 0
    fit_focus: bool = False
    t_slices: int = None   # the model's grid: the settings' own from Objective.of
    z_slices: int = None
    files: tuple = None    # the file of each scan (its focus, when fitted, is the file's)
    deviation_weights: np.ndarray = None  # flat 1/sd from the files' deviation columns; None: fit_zscan's

    @classmethod
    def of(cls, measurement, settings, fit_focus=None):
        weights = None
        if getattr(measurement, "deviation", None) is not None:
            weights = 1.0 / np.array(measurement.deviation, dtype=np.float64).reshape(-1)
        files = tuple(measurement.file_of) if getattr(measurement, "file_of", ()) else (0,) * measurement.scans
        return cls(settings=settings, positions=np.array(measurement.per_scan(), dtype=np.float64),
                   measured=np.array(measurement.transmittance, dtype=np.float64).reshape(-1),
                   centre=centre(measurement, settings.is_sa, settings.detectors()),
                   fit_focus=bool(settings.fit_focus if fit_focus is None else fit_focus),
                   t_slices=settings.t_slices, z_slices=settings.z_slices, files=files, deviation_weights=weights)

    @property
    def scans(self):
        return len(self.settings.pulse_energies)

    def _numbered(self, base, count):
        return (base,) if count == 1 else tuple(f"{base}_{i + 1}" for i in range(count))

    def quantities(self):
        """(name, kind, index) of every fitted quantity: the settings' fitted parameters, then
        the focus of each file, then the beam's, then each scan's offset and tilt."""
        out = [(n, "sample", None) for n in self.settings.fit]
        if self.fit_focus:
            count = max(self.files) + 1
            out += [(n, FOCUS, i) for i, n in enumerate(self._numbered(FOCUS, count))]
        for q in self.settings.fit_beam:
            if q in ("offset", "tilt"):
                out += [(n, q, k) for k, n in enumerate(self._numbered(q, self.scans))]
            else:
                out.append((q, q, None))
        return tuple(out)

    @property
    def names(self):
        return tuple(n for n, _, _ in self.quantities())

    def on_grid(self, t_slices, z_slices):
        return dataclasses.replace(self, t_slices=t_slices, z_slices=z_slices)

    def _parts(self, values):
        """(parameters by name, shift of each file, settings with the beam's values, offsets, tilts)."""
        pars = dict(self.settings.parameters)
        shifts = [0.0] * (max(self.files) + 1)
        beam = {}
        offsets = tilts = None
        for (name, what, i), v in zip(self.quantities(), values):
            if what == "sample":
                pars[name] = float(v)
            elif what == FOCUS:
                shifts[i] = float(v)
            elif what in ("offset", "tilt"):
                if offsets is None:
                    offsets, tilts = [0.0] * self.scans, [0.0] * self.scans
                (offsets if what == "offset" else tilts)[i] = float(v)
            else:
                beam[what] = float(v)
        settings = self.settings
        if beam:
            m2 = beam.get("M2", settings.M2)
            w0 = waist_of(beam["rayleigh_range"], settings, m2) if "rayleigh_range" in beam else beam.get("w0", settings.w0)
            settings = dataclasses.replace(settings, w0=w0, M2=m2)
        return pars, shifts, settings, offsets, tilts

    def x_mm(self, shifts=None):
        """The model's positions (scans, n): centred as fit_zscan centres them (x - centre),
        then shifted by the focus of each scan's file; a shift of 0 changes no bit."""
        x = self.positions - self.centre
        if shifts is None:
            return x - 0.0
        return np.array([x[k] - shifts[self.files[k]] for k in range(len(x))])

    @property
    def grid_order(self):
        """Order of convergence of the model in its grid (the registry's)."""
        return registry.get(self.settings.model).grid_order

    def model(self, values):
        """Model transmittance at every measured point, flat, scan after scan."""
        return self._evaluate(values)[0]

    def _evaluate(self, values):
        """(the model, flat; the model's positions (scans, n); whether every scan has the same)."""
        pars, shifts, settings, offsets, tilts = self._parts(values)
        x = self.x_mm(shifts)
        shared = all(np.array_equal(x[0], row) for row in x)
        if shared:
            flat = forward.curves(settings, x[0], pars, self.t_slices, self.z_slices)
        else:
            # Scans at positions of their own: each evaluated alone, as it is within one call.
            flat = np.concatenate([
                forward.curves(dataclasses.replace(settings, pulse_energies=(energy,), scans=(),
                                                   apertures=(settings.detectors()[k],)), x[k], pars,
                               self.t_slices, self.z_slices)
                for k, energy in enumerate(settings.pulse_energies)])
        if offsets is not None:
            flat = flat * np.concatenate([1.0 + offsets[k] + tilts[k] * x[k] for k in range(len(x))])
        return flat, x, shared

    def sqrt_weights(self, shifts=None):
        if self.deviation_weights is not None:
            return self.deviation_weights
        return _sqrt_weights(self.x_mm(shifts).reshape(-1))

    def residuals(self, values):
        """Weighted residuals (measured - model) * sqrt(weight), as the fit's residual function
        computes them: the core's own arithmetic where the weights are fit_zscan's and every
        scan has the same positions."""
        model, x, shared = self._evaluate(values)
        if self.deviation_weights is not None:
            return (self.measured - model) * self.deviation_weights
        if shared:
            return np.array(extension().weighted_residuals(self.measured, model, np.ascontiguousarray(x[0]),
                                                           self.scans), dtype=np.float64)
        return (self.measured - model) * _sqrt_weights(x.reshape(-1))

    def error(self, values):
        return refine.error_norm(self.residuals(values))

    def start(self, sample_values, multiplier=1.0):
        """The start of every quantity: the sample's values given, the waist from the settings
        (times multiplier, as the sample's starts), the focus shifts and the baseline at 0."""
        out = list(sample_values)
        for name, what, _ in self.quantities()[len(self.settings.fit):]:
            if what == "w0":
                out.append(self.settings.w0 * multiplier)
            elif what == "rayleigh_range":
                out.append(rayleigh_range_mm(self.settings) * multiplier)
            elif what == "M2":
                out.append(self.settings.M2)
            else:
                out.append(0.0)
        return out

    def problem(self, start):
        """The refinement problem from start (the fitted quantities' values, in names' order)."""
        start = np.array(start, dtype=np.float64)
        z_r = rayleigh_range_mm(self.settings)
        half_span = max(float(np.max(np.abs(self.positions - self.centre))), 1e-300)
        # A shift in Rayleigh ranges: a step of 1e-4 of z_R changes the curve about as much as
        # a relative step of 1e-4 in a parameter it depends on in proportion; a tilt in offsets
        # across the half-span.
        scales = {FOCUS: z_r, "offset": OFFSET_SCALE, "tilt": OFFSET_SCALE / half_span}
        quantities = self.quantities()
        # Refraction has either sign: fitted on a linear scale, the size of the settings' value,
        # so that every problem of one objective (each start, the profiles) shares its units.
        signed = {name: abs(self.settings.parameters[name]) or abs(v) or 1.0
                  for (name, what, _), v in zip(quantities, start) if what == "sample" and name in SIGNED}
        return refine.Problem(names=self.names, start=start, residuals=self.residuals,
                              positive=tuple(what not in scales and name not in signed for name, what, _ in quantities),
                              scales=tuple(signed.get(name, scales.get(what, 1.0)) for name, what, _ in quantities))
