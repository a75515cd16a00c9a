"""Draws both models of one sample into docs/two_models.png (the README's figure).

    scripts/kelp-env env PYTHONPATH=.:build/wrapper python3.14 examples/two_models.py [OUT.png]

The demo's reverse saturable absorber (k1 = 1e-18, k2 = k3 = 1e-17 cm^2, tau4 .. tau8 = 1e-9,
1e-8, 1e-13, 1e-6, 1e-13 s, N1 = 1e20) at 532 nm, w0 = 20 um, 5 ns pulses, a 1 mm sample:
the on-axis model on its default 21 x 11 grid, the open-aperture model on its default 41 x 21
grid with 6 radial nodes, at 0.5 and 1 uJ.  About half a minute on one core.
"""
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
from matplotlib.figure import Figure  # noqa: E402

from kelp.models.forward import model_function, positions  # noqa: E402
from kelp.io.settings import PARAMETER_NAMES, Settings  # noqa: E402

PARAMETERS = dict(zip(PARAMETER_NAMES, (1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13)))


def sample(model, t_slices, z_slices):
    return Settings(pulse_energies=(0.5e-6, 1e-6), wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9,
                    sample_width=1e-3, t_slices=t_slices, z_slices=z_slices, populations=(1e20, 0, 0, 0, 0),
                    parameters=PARAMETERS, fit=("k2",), is_sa=False, n_starts=3, model=model)


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1] / "docs" /
                       "two_models.png")
    x = positions(-20, 20, 81)
    pars = list(PARAMETERS.values())
    on_axis = model_function(sample("on-axis", 21, 11))(x, pars)
    open_aperture = model_function(sample("open-aperture", 41, 21))(x, pars)

    fig = Figure(figsize=(7, 4.2), dpi=110)
    ax = fig.add_subplot()
    for k, (energy, colour) in enumerate(((0.5, "tab:blue"), (1.0, "tab:red"))):
        ax.plot(x, open_aperture[k], color=colour, label=f"open-aperture, {energy:g} µJ")
        ax.plot(x, on_axis[k], color=colour, linestyle="--", label=f"on-axis, {energy:g} µJ")
    ax.axhline(1.0, color="0.6", linewidth=0.8)
    ax.set_xlabel("position z (mm)")
    ax.set_ylabel("normalised transmittance")
    ax.set_title("One reverse saturable absorber, two models", fontsize=11)
    ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
