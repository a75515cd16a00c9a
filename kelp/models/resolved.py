"""The radially and temporally resolved model: the energy transmittance of the whole beam and
pulse over the linear transmittance, as a detector that collects the whole beam measures it
(kelp::open_aperture_curves).  Each rate step is solved exactly (the matrix exponential of the
rate matrix at the interval's intensity), and the attenuation law holds instantaneous linear,
two- and three-photon absorption beside the five levels (alpha0, beta, gamma)."""
from kelp.core import extension
from kelp.models.onaxis import common_arguments
from kelp.models.parameters import INSTANTANEOUS, REFRACTION

MAX_RADIAL_NODES = 100  # the core's limit: far beyond where the rule stops changing the result
# Settings of this model beyond the common ones: kind, default, meaning.
OPTIONS = {
    "radial_nodes": ("nodes", 6, "Gauss-Legendre nodes across the beam (resolved model)"),
    "time_window": ("positive", 3.0, "half-width of the pulse window in tau (resolved model)"),
}


def evaluate(settings, x_mm, parameters, t_slices, z_slices):
    arguments = common_arguments(settings, x_mm, parameters, t_slices, z_slices)
    options = dict(radial_nodes=settings.radial_nodes, time_window=settings.time_window,
                   **{name: float(parameters.get(name, 0.0)) for name in INSTANTANEOUS})
    detectors = settings.detectors()
    if all(d == "open" for d in detectors):
        return extension().open_aperture_curves(*arguments, **options)
    # A closed aperture in the far field, or the closed over the open scan: the same columns,
    # their field propagated to the aperture (kelp::resolved_curves).
    return extension().resolved_curves(*arguments, detectors=list(detectors), aperture_S=settings.aperture_S,
                                       n2=float(parameters.get("n2", 0.0)),
                                       kr=[float(parameters.get(name, 0.0)) for name in REFRACTION[1:]], **options)
