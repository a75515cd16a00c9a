"""The short table of a fit on the terminal."""
import math

from kelp.fit.objective import FOCUS, kind, unit
from kelp.fit.starts import best
from kelp.models import registry
from kelp.models.parameters import LAB_UNITS, PARAMETER_UNITS


def table(result):
    """The fitted parameters, then the error and the run's size and time, the grid check and the
    warnings.

    Columns: the start value; the fit's own value and its change from the start where the model
    is fitted by fit_zscan or the refinement was left out; the refined value ± standard error
    where the refinement ran (for a model fitted from its starts, the best start's optimum,
    followed by its change from the start).
    """
    m, s, a = result.measurement, result.settings, result.refined
    model = registry.get(s.model)
    # fit_zscan fits the sample's parameters; a fit of the beam alone is the refinement from the starts.
    by_fit_zscan = model.fitted_by == registry.FIT_ZSCAN and bool(s.fit)
    refined_title = "refined ± standard error"
    # (title, format, separator before it); then the unit after unit_gap
    if a is None:
        columns, unit_gap = [("fitted", ">12", " "), ("change", ">9", " ")], "  "
    elif by_fit_zscan:
        columns, unit_gap = [("fit_zscan", ">12", " "), ("change", ">9", " "), (refined_title, "<30", "   ")], " "
    else:
        columns, unit_gap = [(refined_title, "<30", "   "), ("change", ">9", " ")], "  "
    columns = [("parameter", "<10", ""), ("start", ">12", " ")] + columns

    def line(cells, unit):
        return "".join(sep + format(cells.get(title, ""), spec) for title, spec, sep in columns) + unit_gap + unit

    lines = []
    if not by_fit_zscan:
        n = len(a.starts) if a is not None else s.n_starts
        chosen = f" (start {(best(a.starts) or 0) + 1})" if a is not None else ""
        lines.append(f"{model.label() or 'the beam'}: the best of {n} refined start{'s' if n != 1 else ''}{chosen}")
    lines.append(line({title: title for title, _, _ in columns}, "unit"))
    for name in (a.names if a is not None else s.fit):
        if name in s.fit:
            start, fitted = result.start[name], result.fitted[name]
            value = a.parameters[name] if a is not None and not by_fit_zscan else fitted
            cells = {"parameter": name, "start": f"{start:.5g}", "fitted": f"{fitted:.5g}",
                     "fit_zscan": f"{fitted:.5g}", "change": f"{100 * (value - start) / start:+.1f} %" if start else ""}
            se = math.nan
            if a is not None:
                se = a.standard_errors[name]
                cells[refined_title] = _plus_minus(a.parameters[name], se)
            lines.append(line(cells, _unit(name, a.parameters[name] if a is not None else fitted, se)))
        elif kind(name) == FOCUS:  # the fit centres on the extreme of the measured curve
            cells = {"parameter": name, ("fit_zscan" if by_fit_zscan else "start"): f"{a.centre:.5g}",
                     refined_title: _plus_minus(a.parameters[name], a.standard_errors[name], False)}
            lines.append(line(cells, "mm"))
        else:  # the beam and the baseline, from the settings' values (a baseline from none)
            start = a.start_values[name] if a.start_values else math.nan
            cells = {"parameter": name, "start": f"{start:.5g}",
                     refined_title: _plus_minus(a.parameters[name], a.standard_errors[name],
                                                kind(name) not in ("offset", "tilt"))}
            lines.append(line(cells, unit(name)))
    size = f"{m.scans} scan{'s' if m.scans != 1 else ''} x {len(m.positions)} positions"
    if by_fit_zscan or a is None:
        size += f", {s.n_starts} start{'s' if s.n_starts != 1 else ''}"
    if a is None:
        lines.append(f"error {result.error:.6g}  ({size}, {result.wall_time:.2f} s)")
        return "\n".join(lines + _warning_lines(result))
    state = "converged" if a.converged else "not converged"
    if by_fit_zscan:
        lines.append(f"error {result.error:.6g} (fit_zscan) -> {a.error:.6g} (refined: {a.evaluations} model "
                     f"evaluations, {state})  ({size}, {result.wall_time:.2f} s + {a.wall_time:.2f} s)")
    else:
        lines.append(f"error {a.error:.6g} ({a.evaluations} model evaluations in all, {state})  ({size}, "
                     f"{result.wall_time:.2f} s)")
    return "\n".join(lines + _systematic_lines(result) + _profile_lines(a) + _grid_lines(a) + _advice_lines(a)
                     + _warning_lines(result))


def _systematic_lines(result):
    a, beam = result.refined, result.settings.beam
    if not a.systematic_errors:
        return []
    errors = ", ".join(f"{n} ± {v:.2g}" for n, v in a.systematic_errors.items())
    beam_text = (f"the beam of {beam.source} (w0 {beam.w0:.4g} ± {beam.w0_se:.2g} m, M2 {beam.M2:.4g} ± "
                 f"{beam.M2_se:.2g})") if beam is not None else None
    given = {k: v for k, v in a.systematic.inputs.items() if k != "beam"} if a.systematic is not None else {}
    if not given:
        return [f"systematic, from {beam_text}: {errors}"]
    sources = [f"{k} ± {100 * v:.3g} %" for k, v in given.items()] + ([beam_text] if "beam" in a.systematic.inputs
                                                                       else [])
    relative = ", ".join(f"{n} ± {v:.2g}" + (f" ({100 * v / abs(a.parameters[n]):.2g} %)" if a.parameters[n] else "")
                         for n, v in a.systematic_errors.items())
    lines = [f"systematic, from {', '.join(sources)}: {relative}"]
    for key, shares in a.systematic.contributions.items():
        lines.append(f"  {key}: " + ", ".join(f"{n} ± {v:.2g}" for n, v in shares.items()))
    return lines


def _profile_lines(a):
    """Each quantity's 68 % and 95 % profile intervals, their cost, and what they say in words."""
    p = a.profile
    if p is None:
        return []
    lines = [f"profile intervals (Δχ²/s² = 1 and 3.84; {p.evaluations} model evaluations on {p.threads} "
             f"thread{'s' if p.threads != 1 else ''}, {p.wall_time:.2f} s):"]
    for i in p.intervals:
        parts = []
        for level in ("68", "95"):
            lower, upper = i.bounds[level]
            parts.append(f"{level} % {_end(lower)} .. {_end(upper)}")
        lines.append(f"  {i.name:<10} " + "   ".join(parts) + (f"  {unit(i.name)}" if unit(i.name) else ""))
    return lines + [f"  ! {w}" for w in p.warnings()]


def _advice_lines(a):
    """The candidate scans' predicted standard errors, then the advice in words."""
    advice = a.advice
    if advice is None:
        return []
    lines = ["next scan: predicted standard errors with one more scan"
             + (f" (and the correlation of {' and '.join(advice.pair)})" if advice.pair else "") + ":"]
    for k, scan in enumerate(advice.scans):
        errors = ", ".join(f"{n} ± {_share(advice.values[n], se)}" for n, se in scan.standard_errors.items())
        corr = f", correlation {scan.correlation:+.3f}" if advice.pair else ""
        mark = "  <- advised" if k == advice.best else ""
        lines.append(f"  {scan.energy:.3g} J ({scan.detector}): {errors}{corr}{mark}")
    return lines + [f"  {s}" for s in advice.skipped] + [f"advice: {advice.sentence()}"]


def _share(value, se):
    return f"{100 * se / abs(value):.2g} %" if value and math.isfinite(se) else f"{se:.2g}"


def _end(value):
    return "open" if math.isinf(value) else f"{value:.5g}"


def _unit(name, value, se):
    """The parameter's unit, and where labs quote it in another unit, the value in that one."""
    unit = PARAMETER_UNITS[name]
    if name not in LAB_UNITS:
        return unit
    factor, lab = LAB_UNITS[name]
    spread = f" ± {se * factor:.2g}" if math.isfinite(se) else ""
    return f"{unit}  (= {value * factor:.5g}{spread} {lab})"


def _plus_minus(value, se, relative=True):
    if not math.isfinite(se):
        return f"{value:.5g} ± undetermined"
    rel = f" ({100 * se / abs(value):.2g} %)" if relative and value and math.isfinite(se / value) else ""
    return f"{value:.5g} ± {se:.2g}{rel}"


def _grid_lines(a):
    g = a.grid_check
    lines = [f"grid check: {g.t_slices} x {g.z_slices} changes the model by up to {g.max_model_change:.3g} "
             f"(signal {g.signal:.3g}, residual rms {g.residual_rms:.3g})"]
    if a.fine_refit is not None:
        moved = ", ".join(f"{n} {v:+.2f}" for n, v in a.fine_refit.moved.items())
        lines.append(f"refit on {a.fine_refit.t_slices} x {a.fine_refit.z_slices}: moved by {moved} standard errors")
    return lines


def _warning_lines(result):
    notes = [f"note: {n}" for n in result.notes]
    if not result.warnings:
        return notes
    return notes + ["warnings:"] + [f"  - {w}" for w in result.warnings]
