"""The models the library can fit, one record each: the only place that names them.

A record says everything the layers above need to know about a model: how the core evaluates
it, its default grid and how fast the model converges in it, which settings and parameters it
reads, how it is fitted, and how its fitted curve is drawn.  Adding a model is one module that
evaluates it and one entry here.
"""
import dataclasses

from kelp.models import onaxis, resolved
from kelp.models.parameters import INSTANTANEOUS, PARAMETER_NAMES, REFRACTION

# How a model is fitted (kelp.fit maps each to its procedure):
FIT_ZSCAN = "fit_zscan"  # kelp_wrapper.fit_zscan from its starts, then refined to the optimum
STARTS = "starts"        # the refinement from each of fit_zscan's starts, the best one kept


@dataclasses.dataclass(frozen=True)
class Model:
    name: str
    aliases: tuple
    summary: str            # one line: what the model's transmittance is
    evaluate: object        # (settings, x_mm, parameters by name, t_slices, z_slices) -> flat list, scan after scan
    grid: dict              # default t_slices and z_slices
    grid_order: int         # order of convergence in the grid (the grid check's extrapolation)
    options: dict           # settings it reads beyond the common ones: key -> (kind, default, meaning)
    parameters: tuple       # the parameters it reads, in the core's order
    fitted_by: str          # FIT_ZSCAN or STARTS
    levelled: bool          # each scan is shifted so that its wings average 1 (a curve off the
    #                         measured positions must take its level from the measured ones)
    curve_points: int       # points of the smooth fitted curve in the figure
    default: bool = False   # the model of settings that name none
    detectors: tuple = ("open",)  # what may stand behind the sample: open, closed or divided

    def label(self):
        """What the table, the figure and the terminal add after a result's name: nothing for
        the default model."""
        return "" if self.default else f"{self.name} model"


MODELS = (
    Model(name="on-axis", aliases=(), default=True,
          summary="the fit's own model: on-axis fluence transmittance over the middle of the pulse",
          evaluate=onaxis.evaluate, grid={"t_slices": 21, "z_slices": 11}, grid_order=1, options={},
          parameters=PARAMETER_NAMES, fitted_by=FIT_ZSCAN, levelled=True, curve_points=400),
    # "open-aperture" was its name while it was the only other model; a detector's name now.
    # Its default grid, 31 x 11 with 6 radial nodes, is within 0.67 % of the signal of every
    # closed form and of the model on a grid ten times finer (docs/models.md), at 40 % of the
    # work of 41 x 21.  An evaluation costs some 1-4 times the on-axis model's, so its curve has
    # fewer points.
    Model(name="resolved", aliases=("open-aperture",),
          summary="energy transmittance of the whole beam and pulse over the linear transmittance",
          evaluate=resolved.evaluate, grid={"t_slices": 31, "z_slices": 11}, grid_order=2,
          options=resolved.OPTIONS, parameters=PARAMETER_NAMES + INSTANTANEOUS + REFRACTION, fitted_by=STARTS,
          levelled=False, curve_points=161, detectors=("open", "closed", "divided")),
)

_BY_NAME = {name: m for m in MODELS for name in (m.name, *m.aliases)}


def names():
    """Every name a settings file may give, canonical names first."""
    return tuple(m.name for m in MODELS) + tuple(a for m in MODELS for a in m.aliases)


def default():
    return next(m for m in MODELS if m.default)


def get(name):
    """The model of that name or alias; KeyError for an unknown name."""
    return _BY_NAME[name]


def options():
    """Every model option a settings file may hold: key -> (kind, default, meaning)."""
    out = {}
    for m in MODELS:
        out.update(m.options)
    return out
