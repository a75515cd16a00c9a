"""Systematic uncertainties: what the inputs' own uncertainties do to the fitted values.

The pulse energies, the waist, the pulse duration and the thickness are measured, not fitted,
and their calibration errors usually exceed the noise's share.  At the optimum a fitted
value's sensitivity to an input x is dvalue/dx = -(JᵀJ)⁻¹Jᵀ J_x, J_x the change of the weighted
residuals with x (one model evaluation per input, a relative step of 1e-4); times the input's
standard uncertainty it is that input's share, and the shares add in quadrature, the inputs
being independent.  The beam file's w0 and M2 come with their covariance (kelp calibrate); the
settings' [uncertainties] give relative ones.  The pulse energies' is one factor common to every
scan (the energy meter's calibration), which is what a lab's energy error mostly is.

An input that the fit itself fits (w0 among the fitted quantities) has no systematic share.
"""
import dataclasses
import math

import numpy as np

STEP = 1e-4  # relative change of an input for its column


@dataclasses.dataclass(frozen=True)
class Systematic:
    errors: dict         # fitted quantity -> systematic standard uncertainty, all inputs together
    contributions: dict  # input -> {fitted quantity -> its share}
    inputs: dict         # input -> relative standard uncertainty (the beam file's: absolute, in "beam")

    def document(self):
        return {"inputs": dict(self.inputs), "contributions": {k: dict(v) for k, v in self.contributions.items()},
                "errors": dict(self.errors)}


def _fitted_beam(objective):
    fitted = set(objective.settings.fit_beam)
    return fitted | ({"w0"} if "rayleigh_range" in fitted else set())


def _sensitivities(r, columns):
    """dvalue/dinput for each column of d residuals / d input: (quantities, inputs)."""
    du = -np.linalg.lstsq(np.asarray(r.jacobian), np.column_stack(columns), rcond=None)[0]
    return np.asarray(r.unit_scale)[:, None] * du


def _column(objective, r, **moved):
    changed = dataclasses.replace(objective, settings=dataclasses.replace(objective.settings, **moved))
    return changed.residuals(r.values) - r.residuals


def beam_file_variances(objective, r):
    """(variance of each fitted value from the beam file's w0 and M2 (those not fitted), their
    shares by input); (None, {}) without a beam file."""
    beam = getattr(objective.settings, "beam", None)
    if beam is None:
        return None, {}
    fitted = _fitted_beam(objective)
    entries = [(key, getattr(objective.settings, key), se, i)
               for i, (key, se) in enumerate((("w0", beam.w0_se), ("M2", beam.M2_se)))
               if se > 0 and key not in fitted]
    if not entries:
        return None, {}
    columns = []
    for key, value, _, _ in entries:
        h = value * STEP
        columns.append(_column(objective, r, **{key: value + h}) / h)
    dvalues = _sensitivities(r, columns)
    cov = np.asarray(beam.covariance())[np.ix_([e[3] for e in entries], [e[3] for e in entries])]
    var = np.einsum("ij,jk,ik->i", dvalues, cov, dvalues)
    shares = {f"beam {key}": {n: float(abs(d) * se) for n, d in zip(r.names, dvalues[:, k])}
              for k, (key, _, se, _) in enumerate(entries)}
    return var, shares


def _moved(settings, key, factor):
    """The settings with one input times factor (every scan's energy for the pulse energies)."""
    if key == "pulse_energies":
        return {key: tuple(e * factor for e in settings.pulse_energies)}
    return {key: getattr(settings, key) * factor}


def input_columns(objective, r):
    """(input, relative uncertainty, d residuals / d relative change) of each of the settings'
    [uncertainties] that is not 0 and not fitted."""
    settings = objective.settings
    fitted = _fitted_beam(objective)
    out = []
    for key, relative in getattr(settings, "uncertainties", {}).items():
        if relative > 0 and key not in fitted:
            out.append((key, relative, _column(objective, r, **_moved(settings, key, 1.0 + STEP)) / STEP))
    return out


def systematic(objective, r):
    """The Systematic of the refinement r on objective; None when no input has an uncertainty."""
    beam_var, contributions = beam_file_variances(objective, r)
    entries = input_columns(objective, r)
    if beam_var is None and not entries:
        return None
    var = beam_var if beam_var is not None else np.zeros(len(r.names))
    if entries:
        dvalues = _sensitivities(r, [column for _, _, column in entries])
        for k, (key, relative, _) in enumerate(entries):
            share = np.abs(dvalues[:, k]) * relative
            contributions[key] = {n: float(s) for n, s in zip(r.names, share)}
            var = var + share * share
    inputs = {key: relative for key, relative, _ in entries}
    beam = getattr(objective.settings, "beam", None)
    if beam_var is not None:
        inputs["beam"] = {"w0_se": beam.w0_se, "M2_se": beam.M2_se, "correlation": beam.correlation}
    errors = {n: float(math.sqrt(max(v, 0.0))) for n, v in zip(r.names, var)}
    return Systematic(errors=errors, contributions=contributions, inputs=inputs)
