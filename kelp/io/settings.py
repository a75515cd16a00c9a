"""Settings of one sample's measurement: beam, pulse, sample, model parameters, what to fit.

A TOML file (or a JSON object with the same keys), in the units the fit takes:

    pulse_energies = [0.5e-6, 1.0e-6]  # J, one per transmittance column of the CSV
    wavelength = 532e-9                 # m
    w0 = 20e-6                          # m, beam waist radius
    M2 = 1.0                            # beam quality factor (default 1)
    tau = 100e-12                       # s, pulse duration
    sample_width = 1e-3                 # m
    t_slices = 15                       # time points across the pulse (default 21)
    z_slices = 7                        # depth points through the sample (default 11)
    populations = [1e20, 0, 0, 0, 0]    # initial N1 .. N5
    is_sa = false                       # saturable absorber (default false)
    n_starts = 3                        # starts of the fit (default 3)
    fit = ["k2"]                        # the parameters to fit
    fit_focus = false                   # refine the focus position too (default false)
    model = ...                         # a model of kelp.models.registry (default: its default one)
    radial_nodes = 6                    # resolved model only: Gauss-Legendre nodes across the beam
    time_window = 3.0                   # resolved model only: the pulse from -3 tau to 3 tau

    [parameters]                        # all eight; the fitted ones give the start values
    k1 = 1e-18                          # cm^2 (k1, k2, k3); s (tau4 .. tau8)
    ...

Lab units instead of the model's (the result records both what was given and what was used):

    tau_fwhm = 15e-12                   # s, the pulse's FWHM, instead of tau (tau = FWHM / (2 sqrt(ln 2)))
    concentration = 1e-3                # mol/L, instead of populations: N1 from it, the others 0
    number_density = 6e17               # cm^-3, the same
    linear_transmittance = 0.8          # the sample's, with k1 and sample_width: N1 = -ln(T) / (k1 L)
    average_powers = [5e-3, 10e-3]      # W before the lens, instead of pulse_energies,
    repetition_rate = 1e3               # Hz: E = P / f

The beam from a calibration (kelp calibrate) instead of w0 and M2, its standard errors carried
into the result as a systematic error:

    beam = "beam.toml"

Relative standard uncertainties of the inputs (0.05: 5 %), carried into each fitted value's
systematic uncertainty beside its statistical standard error (a beam file's w0 and M2 bring
theirs; the pulse energies' is one calibration error common to every scan):

    [uncertainties]
    pulse_energies = 0.05
    w0 = 0.03                           # not with a beam file, which gives it
    tau = 0.1
    sample_width = 0.02

The beam fitted with the sample: fit may also name w0 (or rayleigh_range, in mm), M2, focus
(one focus position per file), offset and tilt (a linear baseline 1 + offset + tilt x per scan,
x in mm from the focus).

A scan table instead of pulse_energies, one entry per scan, for files as a lab keeps them (one
file per scan, several groups of columns in one file, raw detector readings):

    [[scans]]
    file = "600oa.txt"                  # relative to this file; default: the measurement given
    position = "Z_0.010W"               # the position column (name or 1-based number; default 1)
    transmittance = "OA_0.010W"         # the signal column
    pulse_energy = 9.3e-6               # J; or average_power (W) and repetition_rate (Hz)
    detector = "open"                   # open (default), closed or divided
    deviation = "deltaT_OA"             # optional: standard deviations, the fit's weights
    reference = "monitor"               # optional: a reference detector to divide by
    normalise = true                    # raw readings: divide by the mean of the scan's wings
    x_unit = "mm"                       # mm (default), cm, m or um

The models and their own settings are those of kelp.models.registry; each has its default grid
(the grids mean different things from one model to the next), which t_slices and z_slices
replace.
"""
import dataclasses
import json
import math
import os
import re
import tomllib

from kelp.errors import InputError
from kelp.io import measurement
from kelp.models import registry
from kelp.models.parameters import (ALL_PARAMETERS, INSTANTANEOUS, MAY_BE_ZERO, PARAMETER_NAMES, PARAMETER_UNITS,
                                    POPULATION_COUNT, REFRACTION, SIGNED)
from kelp.models.resolved import MAX_RADIAL_NODES

# Scalar settings: kind, default (None: required), what the value means.
_SCALARS = {
    "wavelength": ("length", None, "laser wavelength in m"),
    "w0": ("length", None, "beam waist radius in m"),
    "M2": ("beam_quality", 1.0, "beam quality factor, 1 for an ideal Gaussian beam"),
    "tau": ("positive", None, "pulse duration in s"),
    "sample_width": ("length", None, "sample thickness in m"),
    "t_slices": ("grid", 21, "time points across the pulse"),
    "z_slices": ("grid", 11, "depth points through the sample"),
    "n_starts": ("starts", 3, "number of starts of the fit"),
    "is_sa": ("bool", False, "true for a saturable absorber"),
    "fit_focus": ("bool", False, "true to refine the focus position (one shift of all positions, mm)"),
    **registry.options(),
}
_LISTS = {
    "pulse_energies": "pulse energy of each scan in J, one per transmittance column",
    "populations": f"initial populations N1 to N{POPULATION_COUNT}",
    "fit": "names of the parameters to fit",
    "average_powers": "average power of each scan in W before the lens, one per transmittance column",
}
KNOWN_KEYS = ("pulse_energies", "wavelength", "w0", "M2", "tau", "sample_width", "t_slices", "z_slices",
              "populations", "is_sa", "n_starts", "fit", "fit_focus", "model", *registry.options(),
              "tau_fwhm", "concentration", "number_density", "linear_transmittance", "average_powers",
              "repetition_rate", "beam", "scans", "apertures", "aperture_S", "uncertainties", "parameters")
# Quantities of the beam and the baseline that fit may name beside the sample's parameters.
BEAM_QUANTITIES = ("w0", "rayleigh_range", "M2", "focus", "offset", "tilt")
# Each key with the keys that give the same quantity another way: one of them only.
_ALTERNATIVES = (("tau", "tau_fwhm"), ("populations", "concentration", "number_density", "linear_transmittance"),
                 ("pulse_energies", "average_powers", "scans"), ("w0", "beam"), ("M2", "beam"))
AVOGADRO = 6.02214076e23  # 1/mol
DETECTORS = ("open", "closed", "divided")
SCAN_KEYS = ("file", "position", "transmittance", "pulse_energy", "average_power", "repetition_rate", "detector",
             "deviation", "reference", "normalise", "x_unit")
X_UNITS = tuple(measurement.X_UNITS)
# The inputs whose relative uncertainty [uncertainties] may give.
UNCERTAIN_INPUTS = ("pulse_energies", "w0", "M2", "tau", "sample_width")
_NAMES = ", ".join(PARAMETER_NAMES)


@dataclasses.dataclass(frozen=True)
class Settings:
    pulse_energies: tuple
    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    t_slices: int
    z_slices: int
    populations: tuple
    parameters: dict  # name -> value, in PARAMETER_NAMES order
    fit: tuple        # fitted parameter names, in the order given
    is_sa: bool
    n_starts: int
    fit_focus: bool = False  # the refinement fits one shift of all positions too
    model: str = registry.default().name  # a name of kelp.models.registry
    radial_nodes: int = registry.options()["radial_nodes"][1]   # resolved model only
    time_window: float = registry.options()["time_window"][1]  # resolved model only, in tau
    source: str = None  # the file they came from, for messages and the result
    overrides: tuple = ()  # the --set arguments applied on top of the file
    fit_beam: tuple = ()   # w0 or rayleigh_range, M2, offset, tilt: fitted beside fit (focus: fit_focus)
    scans: tuple = ()      # ScanSpec of each scan, from a scan table
    given: dict = dataclasses.field(default_factory=dict)  # lab units as given, before conversion
    beam: object = None    # kelp.io.beam.Beam that gave w0 and M2
    uncertainties: dict = dataclasses.field(default_factory=dict)  # input -> relative standard uncertainty
    apertures: tuple = ()  # the detector of each scan (open, closed, divided); (): all open
    aperture_S: float = None  # linear transmittance of the closed aperture, 0 < S < 1

    def detectors(self):
        """The detector behind the sample for each scan: a scan table's, else apertures, else open."""
        if self.scans and len(self.scans) == len(self.pulse_energies):
            return tuple(scan.detector for scan in self.scans)
        if len(self.apertures) == len(self.pulse_energies):
            return tuple(self.apertures)
        return ("open",) * len(self.pulse_energies)

    def fitted(self):
        """Every fitted quantity as named in fit: the sample's, then the beam's."""
        return self.fit + (("focus",) if self.fit_focus else ()) + self.fit_beam

    def spec_pars(self):
        return [self.parameters[name] for name in PARAMETER_NAMES]

    def fit_indices(self):
        return [PARAMETER_NAMES.index(name) for name in self.fit]

    def origin(self):
        """The file, and the --set arguments if any: where the values of a message came from."""
        return self.source + "".join(f" --set {o}" for o in self.overrides)

    def to_dict(self):
        """The settings as plain values, in the file's own keys (for the result and --set)."""
        d = {key: getattr(self, key) for key in KNOWN_KEYS
             if key not in ("parameters", "scans", "beam", "uncertainties") and hasattr(self, key)}
        for key in ("apertures", "aperture_S"):  # only where a scan is not open
            if not d[key]:
                del d[key]
        if "apertures" in d:
            d["apertures"] = list(d["apertures"])
        for key in ("pulse_energies", "populations"):
            d[key] = list(d[key])
        d["fit"] = [n for n in self.fitted() if n != "focus"]
        if self.scans:
            d["scans"] = [scan.document() for scan in self.scans]
            del d["pulse_energies"]
        if self.uncertainties:
            d["uncertainties"] = dict(self.uncertainties)
        d["parameters"] = dict(self.parameters)
        return d


@dataclasses.dataclass(frozen=True)
class ScanSpec:
    """One entry of a scan table: where a scan's columns are and what they hold."""
    transmittance: str       # column name or 1-based number
    pulse_energy: float      # J
    file: str = None         # None: the measurement file given with the settings
    position: str = "1"
    detector: str = "open"
    deviation: str = None
    reference: str = None
    normalise: bool = False
    x_unit: str = "mm"
    given: dict = dataclasses.field(default_factory=dict)  # average_power and repetition_rate, if given

    def document(self):
        d = {k: getattr(self, k) for k in SCAN_KEYS if hasattr(self, k) and getattr(self, k) is not None}
        d.update(self.given)
        return d


class _Source:
    """Where each setting came from, to point messages at the right file and line."""

    def __init__(self, path, text, is_json):
        self.path, self.lines, self.is_json = path, text.splitlines(), is_json
        self.overrides = {}  # key (or "parameters.<name>") -> the --set argument

    def resolve(self, name):
        """A file named in the settings: relative to the settings file's folder."""
        if os.path.isabs(name) or self.is_json and not self.lines:
            return name
        return os.path.join(os.path.dirname(self.path), name)

    def error(self, message, key=None, table=None):
        full = f"{table}.{key}" if table else key
        if full in self.overrides:
            return InputError(message, path=self.overrides[full])
        return InputError(message, path=self.path, line=self.line_of(key, table))

    def line_of(self, key, table=None):
        """First line that assigns key (inside [table] for TOML); None when not found."""
        if key is None:
            return None
        k = re.escape(key)
        if self.is_json:
            pattern = re.compile(rf'"{k}"\s*:')
            return next((n for n, text in enumerate(self.lines, 1) if pattern.search(text)), None)
        plain = re.compile(rf"""^\s*(?:{k}|"{k}"|'{k}')\s*=""")
        dotted = re.compile(rf"""^\s*{re.escape(table)}\s*\.\s*(?:{k}|"{k}")\s*=""") if table else None
        current = None
        for n, text in enumerate(self.lines, 1):
            header = re.match(r"^\s*\[\s*([^\]]+?)\s*\]", text)
            if header:
                current = header.group(1).strip("\"'")
            elif current == table and plain.match(text):
                return n
            elif current is None and dotted and dotted.match(text):
                return n
        return None


def _found(value):
    return repr(value) if isinstance(value, str) else json.dumps(value) if isinstance(value, (list, dict, bool)) \
        else str(value)


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def parse_override(argument):
    """'NAME=VALUE' of --set: VALUE as a TOML value (1e-17, true, [1, 2], "k2"), else as text."""
    name, sep, text = argument.partition("=")
    name = name.strip()
    if not sep or not name:
        raise InputError("expected NAME=VALUE, for example k2=1e-17", path=f"--set {argument}")
    try:
        value = tomllib.loads(f"v = {text}")["v"]
    except tomllib.TOMLDecodeError:
        value = text.strip()
    if name.startswith("parameters."):
        name = name.partition(".")[2]
    if (name not in KNOWN_KEYS and name not in ALL_PARAMETERS) or name == "parameters":
        raise InputError(f"unknown setting '{name}'; expected one of {', '.join(KNOWN_KEYS[:-1])} "
                         f"or a parameter ({_NAMES})", path=f"--set {argument}")
    return name, value


def load_settings(path, overrides=(), fitting=True):
    """Read and check a settings file; overrides are --set arguments applied on top.  fitting
    False (a simulation) takes any non-negative value of a parameter named in fit.

    Raises InputError naming the file, the line and what was expected.
    """
    path = str(path)
    try:
        with open(path, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8-sig")
    except OSError as e:
        raise InputError(f"cannot read the settings: {e.strerror or e}", path=path) from None
    except UnicodeDecodeError:
        raise InputError("cannot read the settings: not a UTF-8 text file", path=path) from None
    is_json = path.lower().endswith(".json")
    try:
        data = json.loads(text) if is_json else tomllib.loads(text)
    except json.JSONDecodeError as e:
        raise InputError(f"not valid JSON: {e.msg} (column {e.colno})", path=path, line=e.lineno) from None
    except tomllib.TOMLDecodeError as e:
        raise InputError(f"not valid TOML: {e.msg} (column {e.colno})", path=path, line=e.lineno) from None
    if not isinstance(data, dict):
        raise InputError("expected an object of settings ({\"wavelength\": ..., ...})", path=path, line=1)
    return _from_data(data, _Source(path, text, is_json), overrides, fitting)


def settings_from_mapping(mapping, overrides=(), source="<settings>", fitting=True):
    """Check settings given as a mapping with the settings file's keys (a notebook's dict).

    Raises InputError naming source and what was expected.
    """
    if not isinstance(mapping, dict):
        raise InputError("expected a mapping of settings ({\"wavelength\": ..., ...})", path=source)
    data = {k: (dict(v) if isinstance(v, dict) else v) for k, v in mapping.items()}
    data = {k: (list(v) if isinstance(v, tuple) else v) for k, v in data.items()}
    return _from_data(data, _Source(source, "", True), overrides, fitting)


def _from_data(data, source, overrides, fitting=True):
    for argument in overrides:
        name, value = parse_override(argument)
        if name in ALL_PARAMETERS:
            table = data.get("parameters")
            if not isinstance(table, dict):
                table = data["parameters"] = {}
            table[name] = value
            source.overrides[f"parameters.{name}"] = f"--set {argument}"
        else:
            for group in _ALTERNATIVES:
                if name in group:
                    for other in group:
                        if other != name:
                            data.pop(other, None)
            data[name] = value
            source.overrides[name] = f"--set {argument}"
    return dataclasses.replace(_check(data, source, fitting), overrides=tuple(overrides))


def _check(data, source, fitting=True):
    for key in data:
        if key not in KNOWN_KEYS:
            hint = " (the parameters go in a [parameters] table)" if key in ALL_PARAMETERS else ""
            raise source.error(f"unknown setting '{key}'{hint}; expected one of {', '.join(KNOWN_KEYS)}", key)
    for group in _ALTERNATIVES:
        present = [k for k in group if k in data]
        if len(present) > 1:
            raise source.error(f"settings '{present[0]}' and '{present[1]}' give the same quantity twice; "
                               "keep one of them", present[1])
    given = {}
    beam = _beam(data, source, given)
    values = {"model": _model(data, source)}
    if "tau_fwhm" in data:
        given["tau_fwhm"] = _scalar(data, "tau_fwhm", "positive", None, "pulse duration (FWHM) in s", source)
        # The model's pulse is exp(-(t/tau)^2): its FWHM is 2 sqrt(ln 2) tau.
        data = {**data, "tau": given["tau_fwhm"] / (2 * math.sqrt(math.log(2)))}
    model = registry.get(values["model"])
    for key, (kind, default, meaning) in _SCALARS.items():
        values[key] = _scalar(data, key, kind, model.grid.get(key, default), meaning, source)
    values["parameters"] = _parameters(data, source, model)
    values["populations"] = _populations(data, values, source, given)
    values["scans"] = _scans(data, model, source)
    if values["scans"]:
        values["pulse_energies"] = tuple(scan.pulse_energy for scan in values["scans"])
    elif "average_powers" in data:
        powers = _numbers(data, "average_powers", source, positive=True)
        rate = _scalar(data, "repetition_rate", "positive", None, "pulse repetition rate in Hz", source)
        given.update(average_powers=list(powers), repetition_rate=rate)
        values["pulse_energies"] = tuple(p / rate for p in powers)
    else:
        values["pulse_energies"] = _numbers(data, "pulse_energies", source, positive=True)
    values["apertures"], values["aperture_S"] = _apertures(data, values, model, source)
    values["fit"], values["fit_beam"], focus = _fit(data, values["parameters"], source, model, fitting)
    values["fit_focus"] = values["fit_focus"] or focus
    values["uncertainties"] = _uncertainties(data, source, beam)
    return Settings(source=source.path, given=given, beam=beam, **values)


def _refused(model, detector):
    return f"the {model.name} model gives the transmittance an open detector measures, not a {detector} one"


def _apertures(data, values, model, source):
    """(the detector of each scan from `apertures`, or () for all open; aperture_S, required
    where a scan is closed or divided)."""
    apertures = ()
    scans = len(values["pulse_energies"])
    if "apertures" in data:
        value = data["apertures"]
        if values["scans"]:
            raise source.error("setting 'apertures': a scan table gives each scan's detector (detector = ...); "
                               "keep one of them", "apertures")
        if not (isinstance(value, list) and len(value) == scans and all(v in DETECTORS for v in value)):
            raise source.error(f"setting 'apertures': expected a list of {scans} detectors, one per pulse energy, "
                               f"each {' or '.join(repr(d) for d in DETECTORS)}, found {_found(value)}", "apertures")
        for d in value:
            if d not in model.detectors:
                raise source.error(f"setting 'apertures': {_refused(model, d)}", "apertures")
        apertures = tuple(value) if any(d != "open" for d in value) else ()
    closed = any(d != "open" for d in apertures) or any(scan.detector != "open" for scan in values["scans"])
    if "aperture_S" not in data:
        if closed:
            raise source.error("missing setting 'aperture_S' (the closed aperture's linear transmittance, "
                               "0 < S < 1): a scan is closed or divided")
        return apertures, None
    s = data["aperture_S"]
    if not _is_number(s) or not 0 < s < 1:
        raise source.error(f"setting 'aperture_S': expected a number between 0 and 1 (the closed aperture's "
                           f"linear transmittance), found {_found(s)}", "aperture_S")
    return apertures, float(s)


def _uncertainties(data, source, beam):
    """[uncertainties]: input -> relative standard uncertainty, each from 0 to below 1."""
    table = data.get("uncertainties", {})
    if not isinstance(table, dict):
        raise source.error(f"setting 'uncertainties': expected a table of relative uncertainties of "
                           f"{', '.join(UNCERTAIN_INPUTS)}, found {_found(table)}", "uncertainties")
    out = {}
    for key, value in table.items():
        if key not in UNCERTAIN_INPUTS:
            raise source.error(f"uncertainty of '{key}': expected one of {', '.join(UNCERTAIN_INPUTS)}", key,
                               "uncertainties")
        if not _is_number(value) or not 0 <= value < 1:
            raise source.error(f"uncertainty of '{key}': expected a relative standard uncertainty from 0 to below "
                               f"1 (0.05 for 5 %), found {_found(value)}", key, "uncertainties")
        if beam is not None and key in ("w0", "M2"):
            raise source.error(f"uncertainty of '{key}': the beam file {beam.source} gives it already; keep one",
                               key, "uncertainties")
        out[key] = float(value)
    return out


def _populations(data, values, source, given):
    """The populations as given, or N1 from a lab's quantity (the others 0), in cm^-2 m^-1."""
    density = None
    if "concentration" in data:
        c = given["concentration"] = _scalar(data, "concentration", "positive", None,
                                             "ground-state concentration in mol/L", source)
        density = c * AVOGADRO / 1000.0  # per litre -> per cm^3
    elif "number_density" in data:
        density = given["number_density"] = _scalar(data, "number_density", "positive", None,
                                                    "ground-state number density in cm^-3", source)
    elif "linear_transmittance" in data:
        t = data["linear_transmittance"]
        if not _is_number(t) or not 0 < t < 1:
            raise source.error(f"setting 'linear_transmittance': expected a number between 0 and 1 (the sample's "
                               f"transmittance at low intensity), found {_found(t)}", "linear_transmittance")
        k1 = values["parameters"]["k1"]
        if k1 <= 0:
            raise source.error("setting 'linear_transmittance': the population follows from k1, which is 0; give k1 "
                               "(the ground state's cross-section) or the populations", "linear_transmittance")
        given["linear_transmittance"] = float(t)
        # T = exp(-k1 N1 L): k1 in cm^2 and L in m give N1 in cm^-2 m^-1, the model's unit.
        n1 = -math.log(t) / (k1 * values["sample_width"])
        return (n1,) + (0.0,) * (POPULATION_COUNT - 1)
    else:
        return _numbers(data, "populations", source, positive=False, count=POPULATION_COUNT)
    # The model's populations are per cm^2 per m: 100 times the density per cm^3.
    return (density * 100.0,) + (0.0,) * (POPULATION_COUNT - 1)


def _beam(data, source, given):
    """The beam file named by 'beam': w0 and M2 from it (into data), or None."""
    if "beam" not in data:
        return None
    from kelp.io.beam import read_beam
    name = data["beam"]
    if not isinstance(name, str) or not name:
        raise source.error(f"setting 'beam': expected the name of a beam file (kelp calibrate), found "
                           f"{_found(name)}", "beam")
    path = source.resolve(name)
    try:
        beam = read_beam(path)
    except InputError as e:
        raise source.error(f"setting 'beam': {e}", "beam") from None
    wavelength = data.get("wavelength")
    if beam.wavelength is not None and _is_number(wavelength) and not math.isclose(wavelength, beam.wavelength,
                                                                                   rel_tol=1e-6):
        raise source.error(f"setting 'beam': {path} was calibrated at {beam.wavelength:g} m, but the wavelength "
                           f"is {wavelength:g} m; a waist holds for its own wavelength", "beam")
    data["w0"], data["M2"] = beam.w0, beam.M2
    given["beam"] = path
    return beam


def _scans(data, model, source):
    if "scans" not in data:
        return ()
    table = data["scans"]
    if not isinstance(table, list) or not table or not all(isinstance(t, dict) for t in table):
        raise source.error(f"setting 'scans': expected a table of scans ([[scans]] entries, each with at least "
                           f"transmittance and pulse_energy), found {_found(table)}", "scans")
    return tuple(_scan(entry, k + 1, model, source, data) for k, entry in enumerate(table))


def _scan(entry, number, model, source, data):
    where = f"scan {number}"

    def bad(key, expected):
        return source.error(f"{where}: '{key}': expected {expected}, found {_found(entry[key])}", key, "scans")

    for key in entry:
        if key not in SCAN_KEYS:
            raise source.error(f"{where}: unknown key '{key}'; expected one of {', '.join(SCAN_KEYS)}", key, "scans")
    columns = {}
    for key in ("file", "position", "transmittance", "deviation", "reference"):
        value = entry.get(key)
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (str, int)) or value == "":
            raise bad(key, "a column name or a 1-based column number" if key != "file" else "a file name")
        columns[key] = str(value)
    if "transmittance" not in columns:
        raise source.error(f"{where}: missing 'transmittance' (the column of the scan's signal)", None)
    given = {}
    if "pulse_energy" in entry:
        if "average_power" in entry:
            raise source.error(f"{where}: give 'pulse_energy' or 'average_power', not both", "average_power", "scans")
        energy = entry["pulse_energy"]
        if not _is_number(energy) or energy <= 0:
            raise bad("pulse_energy", "a positive number (J)")
    elif "average_power" in entry:
        power = entry["average_power"]
        rate = entry.get("repetition_rate", data.get("repetition_rate"))
        if not _is_number(power) or power <= 0:
            raise bad("average_power", "a positive number (W)")
        if not _is_number(rate) or rate <= 0:
            raise source.error(f"{where}: 'average_power' needs a positive 'repetition_rate' (Hz), in the scan or "
                               f"in the settings, found {_found(rate)}", "repetition_rate", "scans")
        given = {"average_power": float(power), "repetition_rate": float(rate)}
        energy = power / rate
    else:
        raise source.error(f"{where}: missing 'pulse_energy' (J), or 'average_power' (W) with 'repetition_rate'", None)
    detector = entry.get("detector", "open")
    if detector not in DETECTORS:
        raise bad("detector", " or ".join(f'"{d}"' for d in DETECTORS))
    if detector not in model.detectors:
        raise source.error(f"{where}: {_refused(model, detector)}", "detector", "scans")
    normalise = entry.get("normalise", False)
    if not isinstance(normalise, bool):
        raise bad("normalise", "true or false")
    x_unit = entry.get("x_unit", "mm")
    if x_unit not in X_UNITS:
        raise bad("x_unit", " or ".join(f'"{u}"' for u in X_UNITS))
    if "file" in columns:
        columns["file"] = source.resolve(columns["file"])
    return ScanSpec(pulse_energy=float(energy), detector=detector, normalise=normalise, x_unit=x_unit, given=given,
                    **columns)


def _scalar(data, key, kind, default, meaning, source):
    if key not in data:
        if default is None:
            raise source.error(f"missing setting '{key}' ({meaning})")
        return default
    value = data[key]
    if kind == "bool":
        if not isinstance(value, bool):
            raise source.error(f"setting '{key}': expected true or false ({meaning}), found {_found(value)}", key)
        return value
    if kind in ("grid", "starts", "nodes"):
        least = 2 if kind == "grid" else 1
        most = MAX_RADIAL_NODES if kind == "nodes" else 2**31 - 1
        if isinstance(value, bool) or not isinstance(value, int) or value < least or value > most:
            bound = f"{least} to {most}" if kind == "nodes" else f"{least} or more"
            raise source.error(f"setting '{key}': expected a whole number {bound} ({meaning}), "
                               f"found {_found(value)}", key)
        return value
    if kind == "beam_quality" and _is_number(value) and value < 1:
        # M2 compares a beam with a Gaussian beam of the same waist, which diverges least.
        raise source.error(f"setting '{key}': {_found(value)} is impossible: no beam diverges less than a "
                           f"Gaussian beam, so M2 is at least 1 ({meaning})", key)
    if not _is_number(value) or value <= 0:
        raise source.error(f"setting '{key}': expected a positive number ({meaning}), found {_found(value)}", key)
    return float(value)


def _model(data, source):
    value = data.get("model", registry.default().name)
    if not isinstance(value, str) or value not in registry.names():
        choices = " or ".join(f'"{m}"' for m in registry.names())
        raise source.error(f"setting 'model': expected {choices}, found {_found(value)}", "model")
    return value


def _numbers(data, key, source, positive, count=None):
    meaning = _LISTS[key]
    if key not in data:
        raise source.error(f"missing setting '{key}' ({meaning})")
    value = data[key]
    bound = "positive" if positive else "0 or more"
    if count is None:
        what = f"a non-empty list of {bound} numbers ({meaning})"
    else:
        what = f"a list of {count} numbers, each {bound} ({meaning})"
    ok = isinstance(value, list) and len(value) > 0 and (count is None or len(value) == count) and all(
        _is_number(v) and (v > 0 if positive else v >= 0) for v in value)
    if not ok:
        raise source.error(f"setting '{key}': expected {what}, found {_found(value)}", key)
    return tuple(float(v) for v in value)


def _parameters(data, source, model):
    """The eight, then the model's instantaneous absorption (0 where not given; a model without
    it refuses a value other than 0)."""
    table = data.get("parameters")
    if table is None:
        raise source.error(f"missing table [parameters] with the eight parameters {_NAMES}")
    if not isinstance(table, dict):
        raise source.error(f"setting 'parameters': expected a table of the eight parameters {_NAMES}, "
                           f"found {_found(table)}", "parameters")
    for name in table:
        if name not in ALL_PARAMETERS:
            raise source.error(f"unknown parameter '{name}' in [parameters]; expected one of {_NAMES} or "
                               f"{', '.join(INSTANTANEOUS)}", name, "parameters")
        if name not in model.parameters and table[name] != 0:
            readers = " or ".join(f'"{m.name}"' for m in registry.MODELS if name in m.parameters)
            raise source.error(f"parameter '{name}': the {model.name} model has no such term; choose "
                               f"model = {readers} to use it", name, "parameters")
    values = {}
    for name in (n for n in ALL_PARAMETERS if n in model.parameters):
        if (name in INSTANTANEOUS or name in REFRACTION) and name not in table:
            values[name] = 0.0
            continue
        if name not in table:
            raise source.error(f"missing parameter '{name}' in [parameters]; all eight of {_NAMES} are needed "
                               "(the fitted ones as start values)", None)
        value = table[name]
        may_be_zero = name in MAY_BE_ZERO
        # A cross-section or an absorption coefficient may be 0 (no such transition or term);
        # a time constant divides a rate; refraction has either sign.
        if not _is_number(value) or (name not in SIGNED and (value < 0 if may_be_zero else value <= 0)):
            bound = "" if name in SIGNED else "non-negative " if may_be_zero else "positive "
            raise source.error(f"parameter '{name}': expected a {bound}number in {PARAMETER_UNITS[name]}, "
                               f"found {_found(value)}", name, "parameters")
        values[name] = float(value)
    return values


def _fit(data, parameters, source, model, fitting=True):
    """(the sample's fitted parameters, the beam's fitted quantities but the focus, whether fit
    names the focus)."""
    if "fit" not in data:
        raise source.error(f"missing setting 'fit' ({_LISTS['fit']}, for example fit = [\"k2\"])")
    value = data["fit"]
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not value or not all(isinstance(v, str) for v in value):
        raise source.error(f"setting 'fit': expected a non-empty list of parameter names such as [\"k2\"], "
                           f"found {_found(value)}", "fit")
    for name in value:
        if name not in model.parameters and name not in BEAM_QUANTITIES:
            if name in ALL_PARAMETERS:
                raise source.error(f"setting 'fit': the {model.name} model has no parameter '{name}'", "fit")
            raise source.error(f"setting 'fit': unknown parameter '{name}'; expected one of "
                               f"{', '.join(model.parameters)}, or of the beam {', '.join(BEAM_QUANTITIES)}", "fit")
        if value.count(name) > 1:
            raise source.error(f"setting 'fit': parameter '{name}' is listed twice", "fit")
        # The starts scale the start value; from 0 they could not move.  A simulation fits nothing.
        if fitting and name in model.parameters and parameters[name] == 0:
            raise source.error(f"parameter '{name}' is fitted, so its start value must be "
                               f"{'other than 0' if name in SIGNED else 'positive'}, found 0",
                               name, "parameters")
    if "w0" in value and "rayleigh_range" in value:
        raise source.error("setting 'fit': w0 and rayleigh_range are one quantity of the beam; fit one of them", "fit")
    sample = tuple(n for n in value if n in model.parameters)
    beam = tuple(n for n in BEAM_QUANTITIES if n in value and n != "focus")
    return sample, beam, "focus" in value
