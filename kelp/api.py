"""The fit from Python, for notebooks: a measurement and its settings in, a result out.

    import kelp
    result = kelp.fit_measurement("examples/rsa_scans.csv", "examples/rsa.toml")
    print(result)               # value ± standard error of each fitted parameter, the warnings
    result.parameters           # {"k2": ...}: refined values by name
    result.standard_errors      # {"k2": ...}: in the parameters' own units
    result.document             # what `kelp fit` writes as JSON, as a dict
    fig = result.figure()       # a matplotlib Figure of the scans, the model and the residuals
"""
import dataclasses
import math
import os

import numpy as np

from kelp.errors import InputError
from kelp.io.measurement import MIN_POSITIONS, Format, Measurement, energy_column, read_measurement
from kelp.io.settings import Settings, load_settings, settings_from_mapping


def fit_measurement(measurement, settings, *, overrides=(), refine=True, refit_fine_grid=False, threads=None,
                    fit_function=None, profile=True):
    """Fit one measurement as `kelp fit` does; returns a FitReport.

    measurement: a CSV file's path, a kelp.io.measurement.Measurement, or a pair
        (positions in mm, transmittances): the transmittances one row per scan (a single scan
        may be one-dimensional; a table with one column per scan is taken too).  None when the
        settings' scan table names every scan's file.
    settings: a settings file's path (TOML or JSON), a Settings, or a mapping with the settings
        file's keys (a "parameters" mapping of all eight parameters included).
    overrides: "NAME=VALUE" strings, as --set takes them.
    refine: continue from fit_zscan's result to the optimum, with standard errors, correlations
        and the grid check (False: fit_zscan's result alone).  For a model that fit_zscan does
        not fit, the fit is the refinement from each start, the best start's optimum is the
        result, and refine=False leaves out its standard errors and grid check.
    refit_fine_grid: refine once more on the doubled grid and report how far the values move.
    threads: Jacobian columns evaluated at once (default: one per column, at most the CPUs), and
        sides of the profiles at once.
    profile: profile-likelihood intervals of every fitted quantity (kelp.fit.profile), in
        result.refined.profile and the document's "profile" (False: leave them out, as
        `kelp fit --no-profile`).
    fit_function: stands in for kelp_wrapper.fit_zscan (tests).

    Raises kelp.errors.InputError for malformed input, FitFailed for a fit without a result.
    """
    from kelp.fit.fitting import fit
    s = _settings(settings, overrides)
    m = _measurement(measurement, s)
    return FitReport(fit(m, s, fit_function, refine=refine, fine_grid=refit_fine_grid, threads=threads,
                         profile=profile and refine))


def calibrate(measurement, settings, *, overrides=(), threads=None):
    """Fit the beam on a reference sample as `kelp calibrate` does; returns (FitReport, Beam).

    The settings give the reference's known coefficients and fit the beam's quantities (w0 or
    rayleigh_range, and M2, focus, offset, tilt); kelp.io.beam.write_beam writes the Beam for
    the settings of samples (beam = "beam.toml").
    """
    from kelp.fit.calibration import beam_of, check_reference
    from kelp.fit.fitting import fit
    s = check_reference(_settings(settings, overrides), getattr(settings, "source", None) or str(settings))
    report = FitReport(fit(_measurement(measurement, s), s, threads=threads))
    return report, beam_of(report.result, s.source)


def compare_models(measurement, candidates, *, overrides=(), threads=None, fit_function=None):
    """Fit each candidate's settings to the same measurement and rank them as `kelp compare`
    does; returns a kelp.fit.compare.Comparison (.table(), .sentence(), .document(), and per
    candidate chisqr, redchi, aic, aicc, bic, nfree and the runs test of its residuals).

    measurement: as for fit_measurement (read with each candidate's settings); candidates:
    settings as fit_measurement takes them, at least two; overrides apply to every candidate.
    """
    from kelp.fit.compare import compare
    if len(candidates) < 2:
        raise InputError(f"expected at least two candidate settings to compare, found {len(candidates)}")
    settings = [_settings(c, overrides) for c in candidates]
    return compare([_measurement(measurement, s) for s in settings], settings, threads=threads,
                   fit_function=fit_function)


def advise_scan(report, energies, *, detector="open", target="worst"):
    """Advice on the next scan for a refined fit (a FitReport), as `kelp fit --advise` gives it:
    energies, the candidate pulse energies in J (or (low, high, count): count energies spaced
    evenly on a log scale); detector: "open" (or "closed", where the model computes it);
    target: "worst" (the worst-determined parameter) or "correlation" (the strongest one).
    Returns a kelp.fit.design.Advice; its sentence() says it in words."""
    from kelp.fit.design import advise, energies_between
    if report.refined is None:
        raise InputError("advice on the next scan needs a refined fit (refine=True)")
    if isinstance(energies, tuple) and len(energies) == 3 and isinstance(energies[2], int):
        energies = energies_between(*energies)
    return advise(report.result, [float(e) for e in energies], detector=detector, target=target)


def _settings(settings, overrides):
    if isinstance(settings, Settings):
        if not overrides:
            return settings
        again = settings_from_mapping(settings.to_dict(), overrides, settings.source or "<settings>")
        keeps_beam = settings.beam is not None and not any(o.split("=")[0].strip() in ("w0", "M2") for o in overrides)
        return dataclasses.replace(again, beam=settings.beam) if keeps_beam else again
    if isinstance(settings, (str, os.PathLike)):
        return load_settings(settings, overrides)
    if isinstance(settings, dict):
        return settings_from_mapping(settings, overrides)
    raise InputError(f"settings: expected a file name, a Settings or a mapping, found {type(settings).__name__}")


def _measurement(measurement, settings):
    if isinstance(measurement, Measurement):
        return measurement
    if isinstance(measurement, (str, os.PathLike)) or measurement is None and settings.scans:
        return read_measurement(measurement, Format(scans=settings.scans))
    try:
        positions, transmittance = measurement
    except (TypeError, ValueError):
        raise InputError("measurement: expected a file name, a Measurement or a pair (positions, "
                         "transmittances)") from None
    return measurement_from_arrays(positions, transmittance, settings.pulse_energies)


def measurement_from_arrays(positions, transmittance, pulse_energies, name="<arrays>"):
    """A Measurement of positions (mm) and transmittances, one row per scan."""
    x = np.array(positions, dtype=np.float64)
    t = np.array(transmittance, dtype=np.float64)
    if x.ndim != 1 or x.size < MIN_POSITIONS:
        raise InputError(f"positions: expected a one-dimensional array of at least {MIN_POSITIONS} positions "
                         f"(mm), found shape {x.shape}", path=name)
    if t.ndim == 1:
        t = t[np.newaxis, :]
    if t.ndim == 2 and t.shape[1] != x.size and t.shape[0] == x.size:
        t = t.T  # one column per scan, as in a file
    if t.ndim != 2 or t.shape[1] != x.size:
        raise InputError(f"transmittances: expected one row of {x.size} values per scan, found shape {t.shape}",
                         path=name)
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(t))):
        raise InputError("positions and transmittances must be finite numbers", path=name)
    energies = list(pulse_energies) + [math.nan] * max(0, t.shape[0] - len(pulse_energies))
    columns = tuple(energy_column(e) for e in energies[:t.shape[0]])
    return Measurement(path=name, header_line=None, position_column="position_mm", columns=columns,
                       positions=np.ascontiguousarray(x), transmittance=np.ascontiguousarray(t))


@dataclasses.dataclass(frozen=True)
class FitReport:
    """One fit's result: the JSON content, a summary table and the figure."""
    result: object  # kelp.fit.result.FitResult

    @property
    def refined(self):
        """kelp.fit.assess.Assessment, or None when the refinement was left out."""
        return self.result.refined

    @property
    def parameters(self):
        """The fitted values by name: refined where the refinement ran, else fit_zscan's (the
        best start's, for a model fitted from its starts)."""
        if self.refined is not None:
            return dict(self.refined.parameters)
        return {name: self.result.fitted[name] for name in self.result.settings.fit}

    @property
    def standard_errors(self):
        return dict(self.refined.standard_errors) if self.refined is not None else {}

    @property
    def warnings(self):
        return list(self.result.warnings)

    @property
    def document(self):
        """The content of the JSON result that `kelp fit` writes (without the figure's file)."""
        from kelp.report.document import result_document
        return result_document(self.result)

    def summary(self):
        from kelp.report.table import table
        return table(self.result)

    def __str__(self):
        return self.summary()

    def figure(self):
        """The scans, the model and the residuals as a matplotlib Figure (nothing is written)."""
        from kelp.report.figure import make_figure
        return make_figure(self.result)

    def save(self, prefix):
        """Write PREFIX.json and PREFIX.png as `kelp fit` does; returns both paths."""
        from kelp.report.output import write_result
        return write_result(self.result, str(prefix))
