"""Beam files: the waist and M2 that `kelp calibrate` fitted on a reference sample, with their
standard errors, for the settings of the samples measured with the same beam (beam = "...").

A TOML file:

    w0 = 1.93e-05          # m, waist radius
    w0_se = 2.1e-07        # m, its standard error
    M2 = 1.0
    M2_se = 0.0            # 0: M2 was not fitted, but taken as given
    correlation = 0.0      # of w0 and M2 in the calibration
    wavelength = 5.32e-07  # m: the waist holds for this wavelength
    reference = "cs2.csv"  # the reference measurement, its settings, the date of the calibration
    reference_settings = "cs2.toml"
    date = "2025-01-31T12:00:00"
"""
import dataclasses
import math
import tomllib

from kelp.errors import InputError
from kelp.files import atomic_write


@dataclasses.dataclass(frozen=True)
class Beam:
    w0: float
    M2: float
    w0_se: float = 0.0
    M2_se: float = 0.0
    correlation: float = 0.0
    wavelength: float = None
    reference: str = None
    reference_settings: str = None
    date: str = None
    source: str = None

    def covariance(self):
        """Covariance of (w0, M2)."""
        c = self.correlation * self.w0_se * self.M2_se
        return [[self.w0_se ** 2, c], [c, self.M2_se ** 2]]

    def document(self):
        return {k: getattr(self, k) for k in ("w0", "w0_se", "M2", "M2_se", "correlation", "wavelength", "reference",
                                              "reference_settings", "date", "source")}


def _number(data, key, path, least, default=None):
    if key not in data:
        if default is None:
            raise InputError(f"missing '{key}'", path=path)
        return default
    v = data[key]
    if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v) or v < least:
        raise InputError(f"'{key}': expected a number of at least {least:g}, found {v!r}", path=path)
    return float(v)


def read_beam(path):
    """The Beam of a beam file; raises InputError naming the file."""
    path = str(path)
    try:
        with open(path, "rb") as f:
            data = tomllib.loads(f.read().decode("utf-8"))
    except OSError as e:
        raise InputError(f"cannot read the beam file: {e.strerror or e}", path=path) from None
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        raise InputError(f"not a beam file (TOML written by kelp calibrate): {e}", path=path) from None
    w0 = _number(data, "w0", path, 0.0)
    if w0 <= 0:
        raise InputError(f"'w0': expected a positive waist radius in m, found {w0!r}", path=path)
    correlation = _number(data, "correlation", path, -1.0, 0.0)
    if correlation > 1:
        raise InputError(f"'correlation': expected a number from -1 to 1, found {correlation!r}", path=path)
    text = {k: str(data[k]) for k in ("reference", "reference_settings", "date") if k in data}
    return Beam(w0=w0, M2=_number(data, "M2", path, 1.0, 1.0), w0_se=_number(data, "w0_se", path, 0.0, 0.0),
                M2_se=_number(data, "M2_se", path, 0.0, 0.0), correlation=correlation,
                wavelength=_number(data, "wavelength", path, 0.0, -1.0) if "wavelength" in data else None,
                source=path, **text)


def _toml_string(s):
    return '"' + str(s).replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_beam(path, beam):
    """Write beam as a beam file (atomically)."""
    lines = ["# The beam calibrated by kelp calibrate on a reference sample of known coefficients.",
             f"w0 = {beam.w0!r}  # m, waist radius", f"w0_se = {beam.w0_se!r}  # m, its standard error",
             f"M2 = {beam.M2!r}", f"M2_se = {beam.M2_se!r}  # 0: not fitted, taken as given",
             f"correlation = {beam.correlation!r}  # of w0 and M2"]
    if beam.wavelength is not None:
        lines.append(f"wavelength = {beam.wavelength!r}  # m")
    for key in ("reference", "reference_settings", "date"):
        if getattr(beam, key) is not None:
            lines.append(f"{key} = {_toml_string(getattr(beam, key))}")
    with atomic_write(path) as f:
        f.write("\n".join(lines) + "\n")
