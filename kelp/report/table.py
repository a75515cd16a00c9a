"""What a fit leaves behind: the JSON result, the PNG figure and a short table on the terminal."""
import json
import math

from kelp_cli.figure import save_figure
from kelp_cli.files import atomic_write
from kelp_cli.fitting import result_document
from kelp_cli.settings import PARAMETER_UNITS


def _plain(value):
    """JSON has no NaN or infinity: such values are written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _dumps(value, indent=""):
    """Indented objects, but each list of numbers on one line: a scan's values stay readable."""
    if isinstance(value, dict) and value:
        inner = indent + "  "
        items = [f"{inner}{json.dumps(k)}: {_dumps(v, inner)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + indent + "}"
    if isinstance(value, list) and any(isinstance(v, dict) for v in value):
        inner = indent + "  "
        return "[\n" + ",\n".join(inner + _dumps(v, inner) for v in value) + "\n" + indent + "]"
    return json.dumps(value, allow_nan=False, ensure_ascii=False)


def write_json(path, document):
    with atomic_write(path) as f:
        f.write(_dumps(_plain(document)) + "\n")


def output_paths(prefix):
    """The files of one result: prefix.json, prefix.png and prefix.log (DLSODA's messages)."""
    return prefix + ".json", prefix + ".png", prefix + ".log"


def write_result(result, prefix):
    """prefix.png, prefix.log when DLSODA wrote messages, then prefix.json (which names them);
    returns the paths of the JSON and the figure."""
    json_path, png_path, log_path = output_paths(prefix)
    if result.integrator is not None:
        with result.integrator.attached():  # the figure's model curve integrates too
            save_figure(result, png_path)
    else:
        save_figure(result, png_path)
    document = result_document(result, png_path)
    if result.integrator is not None:
        document["integrator_log"] = result.integrator.save_log(log_path)
        result.integrator.close()
    write_json(json_path, document)
    return json_path, png_path


def table(result):
    """start -> fitted of each fitted parameter, then the error and the run's size and time.

    With the refinement: the refined value ± standard error beside fit_zscan's, the grid
    check, then the warnings.  The open-aperture model has no fit_zscan value: its table shows
    the best start's optimum.
    """
    if result.refined is not None:
        return (_open_aperture_table if result.settings.model == "open-aperture" else _refined_table)(result)
    m, s = result.measurement, result.settings
    lines = [f"{'parameter':<10} {'start':>12} {'fitted':>12} {'change':>9}  unit"]
    if s.model == "open-aperture":
        lines.insert(0, f"open-aperture model: the best of {s.n_starts} refined start{'s' if s.n_starts != 1 else ''}")
    for name in s.fit:
        start, fitted = result.start[name], result.fitted[name]
        change = f"{100 * (fitted - start) / start:+.1f} %" if start else ""
        lines.append(f"{name:<10} {start:>12.5g} {fitted:>12.5g} {change:>9}  {PARAMETER_UNITS[name]}")
    lines.append(f"error {result.error:.6g}  ({m.scans} scan{'s' if m.scans != 1 else ''} x "
                 f"{len(m.positions)} positions, {s.n_starts} start{'s' if s.n_starts != 1 else ''}, "
                 f"{result.wall_time:.2f} s)")
    return "\n".join(lines + _warning_lines(result))


def _plus_minus(value, se, relative=True):
    if not math.isfinite(se):
        return f"{value:.5g} ± undetermined"
    rel = f" ({100 * se / abs(value):.2g} %)" if relative and value and math.isfinite(se / value) else ""
    return f"{value:.5g} ± {se:.2g}{rel}"


def _refined_table(result):
    m, s, a = result.measurement, result.settings, result.refined
    lines = [f"{'parameter':<10} {'start':>12} {'fit_zscan':>12} {'change':>9}   "
             f"{'refined ± standard error':<30} unit"]
    for name in a.names:
        value, se = a.parameters[name], a.standard_errors[name]
        if name in s.fit:
            start, fitted = result.start[name], result.fitted[name]
            change = f"{100 * (fitted - start) / start:+.1f} %" if start else ""
            unit = PARAMETER_UNITS[name]
            lines.append(f"{name:<10} {start:>12.5g} {fitted:>12.5g} {change:>9}   {_plus_minus(value, se):<30} {unit}")
        else:  # the focus: fit_zscan puts it at the extreme of the measured curve
            lines.append(f"{name:<10} {'':>12} {a.centre:>12.5g} {'':>9}   {_plus_minus(value, se, False):<30} mm")
    state = "converged" if a.converged else "not converged"
    lines.append(f"error {result.error:.6g} (fit_zscan) -> {a.error:.6g} (refined: {a.evaluations} model "
                 f"evaluations, {state})  ({m.scans} scan{'s' if m.scans != 1 else ''} x {len(m.positions)} "
                 f"positions, {s.n_starts} start{'s' if s.n_starts != 1 else ''}, {result.wall_time:.2f} s + "
                 f"{a.wall_time:.2f} s)")
    return "\n".join(lines + _grid_lines(a) + _warning_lines(result))


def _grid_lines(a):
    g = a.grid_check
    lines = [f"grid check: {g.t_slices} x {g.z_slices} changes the model by up to {g.max_model_change:.3g} "
             f"(signal {g.signal:.3g}, residual rms {g.residual_rms:.3g})"]
    if a.fine_refit is not None:
        moved = ", ".join(f"{n} {v:+.2f}" for n, v in a.fine_refit.moved.items())
        lines.append(f"refit on {a.fine_refit.t_slices} x {a.fine_refit.z_slices}: moved by {moved} standard errors")
    return lines


def _open_aperture_table(result):
    from kelp_cli.open_fit import best
    m, s, a = result.measurement, result.settings, result.refined
    chosen = best(a.starts) or 0
    lines = [f"open-aperture model: the best of {len(a.starts)} refined start{'s' if len(a.starts) != 1 else ''} "
             f"(start {chosen + 1})",
             f"{'parameter':<10} {'start':>12}   {'refined ± standard error':<30} {'change':>9}  unit"]
    for name in a.names:
        value, se = a.parameters[name], a.standard_errors[name]
        if name in s.fit:
            start = result.start[name]
            change = f"{100 * (value - start) / start:+.1f} %" if start else ""
            lines.append(f"{name:<10} {start:>12.5g}   {_plus_minus(value, se):<30} {change:>9}  "
                         f"{PARAMETER_UNITS[name]}")
        else:  # the focus, from the measured extreme where the fit centres
            lines.append(f"{name:<10} {a.centre:>12.5g}   {_plus_minus(value, se, False):<30} {'':>9}  mm")
    state = "converged" if a.converged else "not converged"
    lines.append(f"error {a.error:.6g} ({a.evaluations} model evaluations in all, {state})  ({m.scans} "
                 f"scan{'s' if m.scans != 1 else ''} x {len(m.positions)} positions, {result.wall_time:.2f} s)")
    return "\n".join(lines + _grid_lines(a) + _warning_lines(result))


def _warning_lines(result):
    if not result.warnings:
        return []
    return ["warnings:"] + [f"  - {w}" for w in result.warnings]
