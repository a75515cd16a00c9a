"""Model comparison: several candidate settings fitted to the same measurement, ranked.

Each candidate (a model, which parameters it frees) is fitted and refined as `kelp fit` does,
without profiles.  All share the measurement and, as long as they share is_sa and the weights,
the objective, so their sums of squares compare; the criteria are lmfit's, for weights known
up to a common scale (the noise estimated from the residuals):

    chisqr = Σ (weighted residual)²,  nfree = n − k,  redchi = chisqr / nfree,
    aic = n ln(chisqr / n) + 2k,  aicc = aic + 2k(k + 1)/(n − k − 1),  bic = n ln(chisqr / n) + k ln n,

n the measured points and k the fitted quantities.  The ranking is by AICc (small samples),
whose differences Δ give each candidate's relative likelihood exp(−Δ/2) and its Akaike weight;
BIC is reported beside it, and named when it prefers another model.

A runs test of each candidate's residuals (signs along each scan, in position order; the scans
added as independent sequences) asks whether they alternate as noise does: too few runs mean
that the model misses a systematic part of the curves, whatever its χ².
"""
import dataclasses
import math
import os

import numpy as np
from scipy.stats import norm

from kelp.errors import ToolError
from kelp.fit.fitting import fit
from kelp.fit.objective import Objective

# Differences in AICc and what they say (Burnham and Anderson's scale).
SUPPORT = ((2.0, "about as much support"), (4.0, "less support"), (10.0, "considerably less support"),
           (math.inf, "essentially no support"))
RUNS_LIMIT = 0.01  # a one-sided p below this: the residuals are not noise


@dataclasses.dataclass(frozen=True)
class Runs:
    runs: int
    expected: float
    z: float
    p: float  # one-sided: the chance of so few runs from noise alone

    def document(self):
        return dataclasses.asdict(self)


def runs_test(residuals, positions):
    """Wald-Wolfowitz runs test of the residuals' signs along each scan (rows), in position order."""
    runs, mean, var = 0, 0.0, 0.0
    for r, x in zip(np.atleast_2d(residuals), np.atleast_2d(positions)):
        signs = np.sign(np.asarray(r)[np.argsort(x, kind="stable")])
        signs = signs[signs != 0]
        n1, n2 = int(np.sum(signs > 0)), int(np.sum(signs < 0))
        n = n1 + n2
        if n < 2:
            continue
        runs += 1 + int(np.sum(signs[1:] != signs[:-1]))
        mu = 2.0 * n1 * n2 / n + 1.0
        mean += mu
        var += (mu - 1.0) * (mu - 2.0) / (n - 1.0)
    z = (runs - mean) / math.sqrt(var) if var > 0 else math.nan
    return Runs(runs=runs, expected=mean, z=z, p=float(norm.cdf(z)) if math.isfinite(z) else math.nan)


@dataclasses.dataclass(frozen=True)
class Candidate:
    name: str
    model: str
    fitted: tuple         # the fitted quantities
    result: object        # kelp.fit.result.FitResult; None when its fit failed
    failure: str = None
    ndata: int = 0
    chisqr: float = math.nan
    runs: Runs = None

    @property
    def nvarys(self):
        return len(self.fitted)

    @property
    def nfree(self):
        return self.ndata - self.nvarys

    @property
    def redchi(self):
        return self.chisqr / self.nfree if self.nfree > 0 else math.nan

    @property
    def aic(self):
        return self.ndata * math.log(self.chisqr / self.ndata) + 2 * self.nvarys

    @property
    def aicc(self):
        k, n = self.nvarys, self.ndata
        return self.aic + 2 * k * (k + 1) / (n - k - 1) if n - k - 1 > 0 else math.inf

    @property
    def bic(self):
        return self.ndata * math.log(self.chisqr / self.ndata) + math.log(self.ndata) * self.nvarys

    def document(self):
        doc = {"name": self.name, "model": self.model, "fitted": list(self.fitted)}
        if self.result is None:
            doc["failure"] = self.failure
            return doc
        a = self.result.refined
        doc.update(parameters=dict(a.parameters) if a else {n: self.result.fitted[n] for n in self.fitted},
                   standard_errors=dict(a.standard_errors) if a else {}, ndata=self.ndata, nvarys=self.nvarys,
                   nfree=self.nfree, chisqr=self.chisqr, redchi=self.redchi, aic=self.aic, aicc=self.aicc,
                   bic=self.bic, runs=self.runs.document(), warnings=list(self.result.warnings))
        return doc


@dataclasses.dataclass(frozen=True)
class Comparison:
    candidates: tuple   # in the order given
    ranking: tuple      # indices of the fitted candidates, best AICc first
    weights: dict       # index -> Akaike weight (AICc)
    notes: tuple        # what makes the comparison less than clean, in words

    @property
    def best(self):
        return self.candidates[self.ranking[0]] if self.ranking else None

    def delta(self, i, criterion="aicc"):
        return getattr(self.candidates[i], criterion) - getattr(self.best, criterion)

    def sentence(self):
        """Which candidates the data support and by how much, in words."""
        if not self.ranking:
            return "No candidate could be fitted."
        best = self.best
        words = [f"The data support {best.name} best (Akaike weight {self.weights[self.ranking[0]]:.2f})."]
        simpler = [self.candidates[i] for i in self.ranking[1:]
                   if self.delta(i) <= SUPPORT[0][0] and self.candidates[i].nvarys < best.nvarys]
        for i in self.ranking[1:]:
            c, d = self.candidates[i], self.delta(i)
            how = next(text for limit, text in SUPPORT if d <= limit)
            likely = math.exp(d / 2)
            words.append(f"{c.name} has {how} (ΔAICc {d:.1f}: {likely:.3g} times less likely).")
        if simpler:
            words.append(f"{', '.join(c.name for c in simpler)}, with fewer fitted quantities, is within 2 of it: "
                         "the data do not need the extra ones.")
        by_bic = min(self.ranking, key=lambda i: self.candidates[i].bic)
        if by_bic != self.ranking[0]:
            words.append(f"BIC, which charges more for each fitted quantity, prefers {self.candidates[by_bic].name} "
                         f"(ΔBIC {self.delta(self.ranking[0], 'bic') - self.delta(by_bic, 'bic'):.1f}).")
        for i in self.ranking:
            c = self.candidates[i]
            if c.runs.p < RUNS_LIMIT:
                words.append(f"The residuals of {c.name} change sign in too few runs ({c.runs.runs} against "
                             f"{c.runs.expected:.0f} expected, p = {c.runs.p:.2g}): it misses a systematic part of "
                             "the curves.")
        failed = [c for c in self.candidates if c.result is None]
        if failed:
            words.append(f"{', '.join(c.name for c in failed)} could not be fitted.")
        return " ".join(words)

    def document(self):
        return {"candidates": [c.document() for c in self.candidates],
                "ranking": [self.candidates[i].name for i in self.ranking],
                "akaike_weights": {self.candidates[i].name: w for i, w in self.weights.items()},
                "criterion": "aicc", "conclusion": self.sentence(), "notes": list(self.notes)}

    def table(self):
        head = f"{'candidate':<24} {'model':<10} {'k':>2} {'chisqr':>11} {'redchi':>10} {'AIC':>9} {'AICc':>9} " \
               f"{'BIC':>9} {'ΔAICc':>7} {'weight':>7} {'runs p':>7}"
        lines = [head]
        for i, c in enumerate(self.candidates):
            if c.result is None:
                lines.append(f"{c.name:<24} {c.model:<10} {c.nvarys:>2}  fit failed: {c.failure}")
                continue
            lines.append(f"{c.name:<24} {c.model:<10} {c.nvarys:>2} {c.chisqr:>11.5g} {c.redchi:>10.4g} "
                         f"{c.aic:>9.2f} {c.aicc:>9.2f} {c.bic:>9.2f} {self.delta(i):>7.2f} {self.weights[i]:>7.3f} "
                         f"{c.runs.p:>7.2g}")
        return "\n".join(lines + [f"note: {n}" for n in self.notes] + [self.sentence()])


def _name(settings, i, names):
    base = os.path.basename(settings.source) if settings.source and not settings.source.startswith("<") else None
    name = base or f"candidate {i + 1}"
    return name if names.count(name) <= 1 else f"{name} ({i + 1})"


def compare(measurements, settings_list, threads=None, fit_function=None, watch=None):
    """Fit each candidate of settings_list to its measurement (the same data, read for each
    candidate's settings) and rank them; returns a Comparison.

    measurements: one Measurement per candidate (or one for all); threads: as for fitting.fit.
    """
    if not isinstance(measurements, (list, tuple)):
        measurements = [measurements] * len(settings_list)
    first = measurements[0]
    for m in measurements[1:]:
        if not (np.array_equal(m.transmittance, first.transmittance) and np.array_equal(m.per_scan(),
                                                                                        first.per_scan())):
            raise ToolError(f"{m.path}: the candidates' settings read different data from the measurement; a "
                            "comparison needs the same data for all")
    names = [os.path.basename(s.source) if s.source else "" for s in settings_list]
    candidates, weights_of = [], []
    for i, (m, s) in enumerate(zip(measurements, settings_list)):
        name = _name(s, i, names)
        fitted = tuple(s.fitted())
        try:
            result = fit(m, s, fit_function, watch, refine=True, threads=threads)
        except ToolError as e:
            candidates.append(Candidate(name=name, model=s.model, fitted=fitted, result=None, failure=str(e)))
            weights_of.append(None)
            continue
        a = result.refined
        error = a.error if a is not None else result.error
        residuals = a.residuals if a is not None else result.residuals
        fitted = a.names if a is not None else fitted
        candidates.append(Candidate(name=name, model=s.model, fitted=tuple(fitted), result=result,
                                    ndata=int(np.size(residuals)), chisqr=float(error) ** 2,
                                    runs=runs_test(np.reshape(residuals, (m.scans, -1)), m.per_scan())))
        objective = Objective.of(m, s)
        weights_of.append(objective.sqrt_weights())
    notes = []
    fitted_ones = [i for i, c in enumerate(candidates) if c.result is not None]
    reference = next((weights_of[i] for i in fitted_ones), None)
    if any(not np.array_equal(weights_of[i], reference) for i in fitted_ones):
        notes.append("the candidates weight the points differently (is_sa or the standard deviations differ): "
                     "their sums of squares are not strictly comparable")
    for i in fitted_ones:
        if candidates[i].result.refined is None:
            notes.append(f"{candidates[i].name}: the refinement failed; its χ² is the fit's own")
    ranking = tuple(sorted(fitted_ones, key=lambda i: (candidates[i].aicc, i)))
    weights = {}
    if ranking:
        best = candidates[ranking[0]].aicc
        raw = {i: math.exp(-(candidates[i].aicc - best) / 2) for i in ranking}
        total = sum(raw.values())
        weights = {i: raw[i] / total for i in ranking}
    return Comparison(candidates=tuple(candidates), ranking=ranking, weights=weights, notes=tuple(notes))
