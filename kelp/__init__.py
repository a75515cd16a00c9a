"""kelp: fit, simulate and batch-fit Z-scan measurements from the command line.

A thin user tool around kelp_wrapper.fit_zscan: it reads a CSV of scans and a TOML or JSON
settings file, runs the fit, refines it to the optimum with standard errors and a grid check,
and writes a JSON result and a PNG figure.  From Python: kelp_cli.fit_measurement (kelp_cli.api).
"""
import pkgutil

# In a build tree the compiled forward model sits in <build>/wrapper/kelp_cli/, beside the
# extension module; with that directory on sys.path it joins this package.
__path__ = pkgutil.extend_path(__path__, __name__)

__version__ = "0.1.0"


def __getattr__(name):
    # The notebook API, imported on first use: the command's start-up stays light.
    if name in ("fit_measurement", "FitReport"):
        from kelp_cli import api
        return getattr(api, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
