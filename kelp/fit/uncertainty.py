"""Standard errors and correlations at the optimum, and what they mean in words.

The covariance of the fitted quantities is s²(JᵀJ)⁻¹, with J the Jacobian of the weighted
residuals in the solver's coordinates u and s² = ‖r‖²/(m − n) the residual variance per degree
of freedom.  A positive quantity is fitted as u = ln(value/start), so its standard error in its
own unit is value·σ_u (first order); a position is fitted as is.  The correlation does not
depend on those scales.

JᵀJ is inverted through the singular values of J with unit columns, which stays finite for
a badly conditioned pair: a column that is exactly zero (a quantity that does not change the
model at all) and a direction with no singular value to speak of get infinite variance
instead of a crash.
"""
import dataclasses
import math

import numpy as np

CORRELATION_LIMIT = 0.99
RELATIVE_ERROR_LIMIT = 0.5
# Singular values of the unit-column Jacobian below this share of the largest: no information
# at all in that direction (1 − |correlation| below 1e-20, beyond double precision).
_RANK_LIMIT = 1e-10


@dataclasses.dataclass(frozen=True)
class Uncertainty:
    names: tuple
    standard_errors: np.ndarray  # in the quantities' own units; inf where undetermined
    correlation: np.ndarray      # n x n; NaN where a quantity is undetermined
    frozen: tuple                # names of quantities that do not change the model at all
    warnings: tuple


def covariance_u(jacobian, residuals):
    """Covariance of u, and the mask of the columns that are exactly zero."""
    J = np.asarray(jacobian, dtype=np.float64)
    r = np.asarray(residuals, dtype=np.float64)
    m, n = J.shape
    s2 = float(r @ r) / (m - n) if m > n else math.nan
    frozen = np.all(J == 0.0, axis=0)
    cov = np.full((n, n), np.nan)
    dead = np.flatnonzero(frozen)
    cov[dead, dead] = math.inf
    live = np.flatnonzero(~frozen)
    if live.size:
        Jl = J[:, live]
        d = np.linalg.norm(Jl, axis=0)
        _, sv, vt = np.linalg.svd(Jl / d, full_matrices=False)
        kept = sv > _RANK_LIMIT * sv[0]
        inner = (vt[kept].T / sv[kept] ** 2) @ vt[kept]
        c = s2 * inner / np.outer(d, d)
        # A quantity with a share in a direction the data do not see is not determined.
        blind = np.any(np.abs(vt[~kept]) > 1e-6, axis=0) if np.any(~kept) else np.zeros(live.size, bool)
        c[blind, :] = np.nan
        c[:, blind] = np.nan
        unseen = np.flatnonzero(blind)
        c[unseen, unseen] = math.inf
        cov[np.ix_(live, live)] = c
    return cov, frozen


def assess_uncertainty(names, values, unit_scale, jacobian, residuals, positive):
    """Standard errors, correlation matrix and warnings of the fitted quantities at the optimum.

    positive[i]: quantity i is a magnitude (its relative standard error is meaningful).
    """
    names = tuple(names)
    cov, frozen = covariance_u(jacobian, residuals)
    var = np.diag(cov)
    se_u = np.sqrt(var)
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = cov / np.outer(se_u, se_u)
    corr[~np.isfinite(corr)] = np.nan
    for i in range(len(names)):
        if np.isfinite(var[i]) and var[i] > 0:
            corr[i, i] = 1.0
    se = np.abs(np.asarray(unit_scale, dtype=np.float64)) * se_u
    warnings = []
    for i, name in enumerate(names):
        if frozen[i]:
            warnings.append(f"{name} does not change the model at all: these scans say nothing about it "
                            "(its standard error is infinite)")
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            rho = corr[i, j]
            undetermined_pair = not frozen[i] and not frozen[j] and math.isinf(var[i]) and math.isinf(var[j])
            if abs(rho) > CORRELATION_LIMIT or undetermined_pair:
                what = f" (correlation {rho:+.4f})" if math.isfinite(rho) else ""
                warnings.append(f"{names[i]} and {names[j]} are not determined separately by these scans: "
                                f"only a combination of them is{what}")
    for i, name in enumerate(names):
        if positive[i] and not frozen[i] and values[i] > 0 and se[i] > RELATIVE_ERROR_LIMIT * values[i]:
            share = f"{100 * se[i] / values[i]:.0f} %" if math.isfinite(se[i]) else "infinite"
            warnings.append(f"{name} is poorly determined: its standard error is {share} of its value")
    return Uncertainty(names=names, standard_errors=se, correlation=corr,
                       frozen=tuple(n for n, f in zip(names, frozen) if f), warnings=tuple(warnings))
