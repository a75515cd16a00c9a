"""The PNG of a fit: measured points and the model as a smooth curve per scan, residuals in a
panel below."""
import math
import os
import threading

import matplotlib
import numpy as np

# No pyplot and no backend choice: the figure draws on its own Agg canvas, so importing this
# module leaves a notebook's backend as it was.
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

from kelp.files import atomic_write  # noqa: E402
from kelp.fit.objective import unit  # noqa: E402
from kelp.models import registry  # noqa: E402
from kelp.models.parameters import PARAMETER_UNITS  # noqa: E402

# matplotlib keeps shared state (font cache, text layout) that it does not promise to guard.
_LOCK = threading.Lock()

_PREFIXES = ((1.0, ""), (1e-3, "m"), (1e-6, "µ"), (1e-9, "n"), (1e-12, "p"), (1e-15, "f"))


def format_energy(joules):
    """1e-6 -> '1 µJ', 5e-7 -> '500 nJ': a pulse energy as a lab writes it."""
    for scale, prefix in _PREFIXES:
        if abs(joules) >= scale * 0.9995:
            return f"{joules / scale:.3g} {prefix}J"
    return f"{joules:.3g} J"


def _title(result):
    name = os.path.basename(result.measurement.path)
    label = registry.get(result.settings.model).label()
    if label:
        name += f", {label}"
    if result.refined is not None:
        return f"{name} (refined, error {result.refined.error:.3g})\n{_refined_values(result.refined)}"
    fitted = ", ".join(f"{p} = {result.fitted[p]:.4g} {PARAMETER_UNITS[p]}" for p in result.settings.fit)
    return f"{name}: {fitted} (error {result.error:.3g})"


def _model_lines(result, x, orders):
    """Positions (scans, points) and model values to draw: the smooth curve, or, where the
    forward model is not built or the fit moved the beam, the model at the measured points (the
    refined one where there is one)."""
    try:
        from kelp.report.curve import fitted_curves, smooth
        if smooth(result):
            grid, fine, _ = fitted_curves(result)
            return np.tile(grid, (len(fine), 1)), fine
    except ImportError:
        pass
    model = result.refined.model if result.refined is not None else result.model
    return (np.array([row[o] for row, o in zip(x, orders)]),
            np.array([row[o] for row, o in zip(model, orders)]))


def _refined_values(refined):
    parts = []
    for p in refined.names:
        value, se = refined.parameters[p], refined.standard_errors[p]
        spread = f"{se:.2g}" if math.isfinite(se) else "?"
        parts.append(f"{p} = {value:.4g} ± {spread} {unit(p)}".rstrip())
    return ", ".join(parts)


def _profile_panel(ax, interval):
    """Δχ²/s² of one quantity's profile, the quadratic of its standard error, the two levels."""
    from kelp.fit.profile import LEVELS
    values = np.array([v for v, _ in interval.points])
    deltas = np.array([d for _, d in interval.points])
    ax.plot(values, deltas, "o-", color="C0", markersize=3, linewidth=1.0, label="profile")
    se = interval.standard_error
    if math.isfinite(se) and se > 0 and values.size:
        grid = np.linspace(values.min(), values.max(), 81)
        ax.plot(grid, ((grid - interval.value) / se) ** 2, "--", color="0.5", linewidth=0.8, label="± s.e.")
    for level, height in LEVELS:
        ax.axhline(height, color="0.6", linewidth=0.6, linestyle=":")
        ax.text(1.0, height, f" {level} %", transform=ax.get_yaxis_transform(), fontsize="x-small", va="center")
    ax.set_ylim(0, 6)
    ax.set_xlabel(f"{interval.name} ({unit(interval.name)})" if unit(interval.name) else interval.name,
                  fontsize="small")
    ax.set_ylabel("Δχ² / s²", fontsize="small")
    ax.tick_params(labelsize="x-small")
    ax.xaxis.get_offset_text().set_fontsize("x-small")
    ax.grid(True, alpha=0.3)


def save_figure(result, path):
    """Write the figure of result to path (PNG), atomically."""
    fig = make_figure(result)
    with _LOCK, atomic_write(path, binary=True) as f:
        fig.savefig(f, format="png")


def make_figure(result):
    """The figure of result (the refined model where there is one) as a matplotlib Figure."""
    m = result.measurement
    refined = result.refined
    residuals = (refined.residuals if refined is not None else result.residuals).reshape(m.scans, -1)
    x = m.per_scan()
    orders = [row.argsort(kind="stable") for row in x]  # draw curves left to right whatever the file order
    curve_x, curves = _model_lines(result, x, orders)
    # Open, closed and divided scans differ in shape (a dip; a valley and a peak): a panel each,
    # and below them, where the fit has profiles, one panel per fitted quantity.
    detectors = result.settings.detectors()
    groups = [d for d in ("open", "closed", "divided") if d in detectors]
    profile = refined.profile if refined is not None else None
    panels = len(profile.intervals) if profile is not None else 1
    with _LOCK:
        width = 8 * len(groups) ** 0.5 if len(groups) > 1 else 8
        fig = Figure(figsize=(width, 6.5 if profile is None else 8.8), dpi=120, layout="constrained")
        FigureCanvasAgg(fig)
        grid = fig.add_gridspec(2 if profile is None else 3, len(groups) * panels,
                                height_ratios=[3, 1] if profile is None else [3, 1, 1.4])
        axes = [[None] * len(groups), [None] * len(groups)]
        for g in range(len(groups)):
            axes[0][g] = fig.add_subplot(grid[0, g * panels:(g + 1) * panels])
            axes[1][g] = fig.add_subplot(grid[1, g * panels:(g + 1) * panels], sharex=axes[0][g])
            axes[0][g].tick_params(labelbottom=False)
        if profile is not None:
            for k, interval in enumerate(profile.intervals):
                _profile_panel(fig.add_subplot(grid[2, k * len(groups):(k + 1) * len(groups)]), interval)
        colours = matplotlib.color_sequences["tab10"]
        for column, group in enumerate(groups):
            top, bottom = axes[0][column], axes[1][column]
            handles = []
            for k in (k for k in range(m.scans) if detectors[k] == group):
                c = colours[k % len(colours)]
                order = orders[k]
                top.plot(x[k][order], m.transmittance[k][order], "o", color=c, markersize=4)
                top.plot(curve_x[k], curves[k], "-", color=c, linewidth=1.5)
                bottom.plot(x[k][order], residuals[k][order], "o-", color=c, markersize=3, linewidth=0.8)
                handles.append(Line2D([], [], color=c, marker="o", markersize=4, linewidth=1.5,
                                      label=format_energy(result.settings.pulse_energies[k])))
            top.legend(handles=handles, title="Pulse energy\n(points: measured, lines: fit)", loc="lower right",
                       fontsize="small", title_fontsize="small")
            top.set_ylabel("Normalised transmittance" + (f" ({group} aperture)" if len(groups) > 1 else ""))
            top.grid(True, alpha=0.3)
            bottom.axhline(0.0, color="0.4", linewidth=0.8)
            bottom.set_xlabel("Sample position z (mm)")
            bottom.set_ylabel("Residual\n(measured − fit)")
            bottom.grid(True, alpha=0.3)
        if len(groups) > 1:
            fig.suptitle(_title(result), fontsize="medium")
        else:
            axes[0][0].set_title(_title(result), fontsize="medium")
        return fig
