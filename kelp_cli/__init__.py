"""kelp: fit, simulate and batch-fit Z-scan measurements from the command line.

A thin user tool around kelp_wrapper.fit_zscan: it reads a CSV of scans and a TOML or JSON
settings file, runs the fit, and writes a JSON result and a PNG figure.
"""
import pkgutil

# In a build tree the compiled forward model sits in <build>/wrapper/kelp_cli/, beside the
# extension module; with that directory on sys.path it joins this package.
__path__ = pkgutil.extend_path(__path__, __name__)

__version__ = "0.1.0"
