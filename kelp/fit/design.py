"""Advice on the next scan: which extra scan would most improve what a fit left uncertain.

At the optimum the data's information on the fitted quantities (in the refinement's
coordinates u) is JᵀJ/s², J the Jacobian of the weighted residuals and s² the fit's residual
variance.  An extra scan at pulse energy E, at the positions of the first scan, with the same
noise and weights, adds J_EᵀJ_E/s²; the inverse of the sum predicts the standard errors and the
correlations after that scan, before anyone measures it.  A scan brings its own baseline when
the fit frees one per scan (offset, tilt): those enter as quantities of their own.

Among the candidates the advice is the scan that most shrinks the worst-determined sample
parameter (the largest relative standard error), or, with target "correlation", the strongest
correlation between two of them.  Scans of another detector (closed aperture) go through to the
settings' scan table; a model that does not compute that detector skips them, saying so.
"""
import dataclasses
import math

import numpy as np

from kelp.fit import refine
from kelp.fit.objective import FOCUS, Objective, kind
from kelp.models import registry

TARGETS = ("worst", "correlation")


@dataclasses.dataclass(frozen=True)
class Scan:
    """One candidate scan and what the fit would know after it."""
    energy: float                # J
    detector: str
    standard_errors: dict        # name -> predicted standard error (the quantities' own units)
    correlation: float           # predicted correlation of the target pair (nan without one)

    def document(self):
        return {"pulse_energy_J": self.energy, "detector": self.detector,
                "standard_errors": dict(self.standard_errors), "correlation": self.correlation}


@dataclasses.dataclass(frozen=True)
class Advice:
    target: str                  # "worst" or "correlation"
    parameter: str               # the worst-determined sample parameter now
    pair: tuple                  # the most correlated pair of sample parameters now (or ())
    now: dict                    # name -> standard error now
    correlation_now: float
    values: dict                 # name -> value at the optimum
    scans: tuple                 # Scan per candidate evaluated
    best: int                    # index into scans of the advised one (None: no candidate)
    skipped: tuple = ()          # why candidates were left out, in words

    def _share(self, name, se):
        v = self.values[name]
        return f"±{100 * se / abs(v):.2g} %" if v and math.isfinite(se) else f"±{se:.2g}"

    def sentence(self):
        if self.best is None:
            return "No candidate scan could be evaluated" + (f": {self.skipped[0]}" if self.skipped else ".")
        scan = self.scans[self.best]
        where = f"a {scan.detector}-aperture scan" if scan.detector != "open" else "a scan"
        p = self.parameter
        words = (f"{where} at {_energy(scan.energy)} would bring {p} from {self._share(p, self.now[p])} to "
                 f"{self._share(p, scan.standard_errors[p])}")
        if self.pair:
            a, b = self.pair
            words += (f", and the correlation of {a} and {b} from {self.correlation_now:+.3f} to "
                      f"{scan.correlation:+.3f}")
        return words[0].upper() + words[1:] + "."

    def document(self):
        return {"target": self.target, "parameter": self.parameter, "pair": list(self.pair),
                "standard_errors_now": dict(self.now), "correlation_now": self.correlation_now,
                "candidates": [s.document() for s in self.scans],
                "advised": self.scans[self.best].document() if self.best is not None else None,
                "advice": self.sentence(), "skipped": list(self.skipped)}


def _energy(joules):
    for scale, prefix in ((1.0, ""), (1e-3, "m"), (1e-6, "µ"), (1e-9, "n"), (1e-12, "p")):
        if abs(joules) >= scale * 0.9995:
            return f"{joules / scale:.3g} {prefix}J"
    return f"{joules:.3g} J"


def covariance(jacobian, s2):
    """s²(JᵀJ)⁻¹ through unit columns (a pseudo-inverse where the data do not see a direction)."""
    J = np.asarray(jacobian, dtype=np.float64)
    d = np.linalg.norm(J, axis=0)
    d[d == 0] = 1.0
    inner = np.linalg.pinv((J / d).T @ (J / d), rcond=1e-12)
    return s2 * inner / np.outer(d, d)


def energies_between(low, high, count):
    """count pulse energies spaced evenly on a log scale from low to high (J), both included."""
    if count < 2 or low == high:
        return (float(low),)
    return tuple(float(low * (high / low) ** (i / (count - 1))) for i in range(count))


def _optimum_values(objective, refined):
    """The fitted quantities at the optimum as the objective takes them (a focus as a shift)."""
    return [refined.parameters[n] - objective.centre if kind(n) == FOCUS else refined.parameters[n]
            for n in objective.names]


def scan_jacobian(objective, values, energy, detector="open"):
    """(names, d weighted residuals / d u) of one more scan at energy (J), at the positions of
    the first scan with its weights: the quantities it shares with the fit under the fit's
    names, then its own baseline (offset, tilt) where the fit frees one per scan."""
    s = objective.settings
    extra = {}
    if detector != "open":
        from kelp.io.settings import ScanSpec
        template = s.scans[0] if s.scans else ScanSpec(transmittance="2", pulse_energy=energy)
        extra["scans"] = (dataclasses.replace(template, pulse_energy=energy, detector=detector),)
    elif s.scans:
        extra["scans"] = (dataclasses.replace(s.scans[0], pulse_energy=energy),)
    settings = dataclasses.replace(s, pulse_energies=(energy,), apertures=(detector,), **extra)
    n = objective.positions.shape[1]
    weights = objective.deviation_weights[:n] if objective.deviation_weights is not None else None
    one = Objective(settings=settings, positions=objective.positions[:1], measured=np.zeros(n),
                    centre=objective.centre, fit_focus=objective.fit_focus, t_slices=objective.t_slices,
                    z_slices=objective.z_slices, files=(0,), deviation_weights=weights)
    own_focus = next((name for name, what, i in objective.quantities() if what == FOCUS and i == 0), None)
    by_name = dict(zip(objective.names, values))
    names, start = [], []
    for name, what, _ in one.quantities():
        shared = own_focus if what == FOCUS else name if what not in ("offset", "tilt") else None
        names.append(shared if shared is not None else f"{name} (new scan)")
        start.append(by_name[shared] if shared is not None else 0.0)
    problem = one.problem(start)
    base = problem.residuals(problem.values(np.zeros(len(start))))
    columns = []
    for j in range(len(start)):
        u = np.zeros(len(start))
        u[j] = refine.STEP
        columns.append((problem.residuals(problem.values(u)) - base) / refine.STEP)
    return tuple(names), np.column_stack(columns)


def advise(result, energies, detector="open", target="worst"):
    """Advice on one more scan for the fit result (a FitResult, refined): each candidate pulse
    energy (J) of the detector, its predicted standard errors and correlation, and the advised
    one; returns an Advice."""
    a = result.refined
    if a is None or a.jacobian is None:
        raise ValueError("advice needs the refined optimum (its Jacobian): the refinement was left out")
    if target not in TARGETS:
        raise ValueError(f"target: expected one of {', '.join(TARGETS)}, found {target!r}")
    objective = Objective.of(result.measurement, result.settings)
    values = _optimum_values(objective, a)
    J = np.asarray(a.jacobian)
    m, n = J.shape
    s2 = a.error ** 2 / (m - n) if m > n else math.nan
    scale = np.abs(np.asarray(a.unit_scale, dtype=np.float64))
    sample = [i for i, name in enumerate(a.names) if name in result.settings.fit] or list(range(n))
    cov_now = covariance(J, s2)
    se_u_now = np.sqrt(np.diag(cov_now))
    # Worst determined: the largest relative standard error (se_u is one for a quantity fitted in
    # log space, an absolute one in units of its scale for one fitted on a linear scale).
    relative = [se_u_now[i] * scale[i] / abs(values[i]) if values[i] else math.inf for i in range(n)]
    worst = max(sample, key=lambda i: relative[i] if math.isfinite(relative[i]) else math.inf)
    corr_now = _correlation(cov_now)
    pair = max(((i, j) for i in sample for j in sample if i < j), key=lambda p: abs(corr_now[p]), default=())
    skipped, scans = [], []
    model = registry.get(result.settings.model)
    if detector not in model.detectors:
        skipped.append(f"{detector}-aperture scans: the {model.name} model does not compute them")
    elif detector != "open" and result.settings.aperture_S is None:
        skipped.append(f"{detector}-aperture scans: the settings give no aperture_S, the aperture's linear "
                       "transmittance")
    else:
        for energy in energies:
            names, J_new = scan_jacobian(objective, values, energy, detector)
            own = [k for k, name in enumerate(names) if name not in a.names]
            rows = np.zeros((J_new.shape[0], n + len(own)))
            for k, name in enumerate(names):
                col = a.names.index(name) if name in a.names else n + own.index(k)
                rows[:, col] = J_new[:, k]
            extended = np.vstack([np.hstack([J, np.zeros((m, len(own)))]), rows])
            cov = covariance(extended, s2)
            se = np.sqrt(np.diag(cov))[:n] * scale
            corr = _correlation(cov)
            scans.append(Scan(energy=float(energy), detector=detector,
                              standard_errors={name: float(v) for name, v in zip(a.names, se)},
                              correlation=float(corr[pair]) if pair else math.nan))
    best = None
    if scans:
        if target == "correlation" and pair:
            best = min(range(len(scans)), key=lambda k: abs(scans[k].correlation))
        else:
            best = min(range(len(scans)), key=lambda k: scans[k].standard_errors[a.names[worst]])
    return Advice(target=target, parameter=a.names[worst], pair=tuple(a.names[i] for i in pair),
                  now=dict(a.standard_errors), correlation_now=float(corr_now[pair]) if pair else math.nan,
                  values=dict(a.parameters), scans=tuple(scans), best=best, skipped=tuple(skipped))


def _correlation(cov):
    se = np.sqrt(np.diag(cov))
    with np.errstate(invalid="ignore", divide="ignore"):
        return cov / np.outer(se, se)
