"""kelp: fit, simulate and batch-fit Z-scan measurements, from Python and from the command line.

A library around kelp_wrapper.fit_zscan, in layers that import only downward:

    kelp.errors, kelp.files   what every layer may raise, and outputs written safely
    kelp.core                 the compiled core: forward models, the fit's own arithmetic,
                              the integrator's messages, cancellation
    kelp.models               the parameters and the registry of models
    kelp.io                   settings and measurement files
    kelp.fit                  the fit: starts, refinement, uncertainty, grid check, assessment
    kelp.report               the JSON document, the table, the figure
    kelp.run                  batches on local threads or a Dask cluster, progress
    kelp.cli                  the `kelp` command

From Python: kelp.fit_measurement, kelp.compare_models, kelp.advise_scan (kelp.api).
"""
import pkgutil

# In a build tree the compiled core module sits in <build>/wrapper/kelp/core/, beside the
# extension module kelp_wrapper; with <build>/wrapper on sys.path it joins this package.
__path__ = pkgutil.extend_path(__path__, __name__)

__version__ = "0.2.0"


def __getattr__(name):
    # The notebook API, imported on first use: the command's start-up stays light.
    if name in ("fit_measurement", "FitReport", "measurement_from_arrays", "compare_models", "advise_scan"):
        from kelp import api
        return getattr(api, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
