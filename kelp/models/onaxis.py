"""The on-axis model, kelp_wrapper.fit_zscan's own: the on-axis fluence transmittance over
|t| <= tau/2, each scan levelled by its wings (kelp::model_curves)."""
from kelp.core import extension


from kelp.models.parameters import PARAMETER_NAMES


def evaluate(settings, x_mm, parameters, t_slices, z_slices):
    return extension().model_curves(*common_arguments(settings, x_mm, parameters, t_slices, z_slices))


def common_arguments(settings, x_mm, parameters, t_slices, z_slices):
    """The core's positional arguments shared by its forward models; parameters by name."""
    return ([float(x) for x in x_mm], list(settings.pulse_energies), list(settings.populations),
            [float(parameters[p]) for p in PARAMETER_NAMES], t_slices, z_slices, settings.sample_width, settings.tau,
            settings.wavelength, settings.w0, settings.M2)
