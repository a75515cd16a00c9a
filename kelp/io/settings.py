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

The models and their own settings are those of kelp.models.registry; each has its default grid
(the grids mean different things from one model to the next), which t_slices and z_slices
replace.
"""
import dataclasses
import json
import math
import re
import tomllib

from kelp.errors import InputError
from kelp.models import registry
from kelp.models.parameters import (ALL_PARAMETERS, INSTANTANEOUS, MAY_BE_ZERO, PARAMETER_NAMES, PARAMETER_UNITS,
                                    POPULATION_COUNT)
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
}
KNOWN_KEYS = ("pulse_energies", "wavelength", "w0", "M2", "tau", "sample_width", "t_slices", "z_slices",
              "populations", "is_sa", "n_starts", "fit", "fit_focus", "model", "radial_nodes", "time_window",
              "parameters")
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

    def spec_pars(self):
        return [self.parameters[name] for name in PARAMETER_NAMES]

    def fit_indices(self):
        return [PARAMETER_NAMES.index(name) for name in self.fit]

    def origin(self):
        """The file, and the --set arguments if any: where the values of a message came from."""
        return self.source + "".join(f" --set {o}" for o in self.overrides)

    def to_dict(self):
        """The settings as plain values, in the file's own keys (for the result and --set)."""
        d = {key: getattr(self, key) for key in KNOWN_KEYS if key != "parameters"}
        for key in ("pulse_energies", "populations", "fit"):
            d[key] = list(d[key])
        d["parameters"] = dict(self.parameters)
        return d


class _Source:
    """Where each setting came from, to point messages at the right file and line."""

    def __init__(self, path, text, is_json):
        self.path, self.lines, self.is_json = path, text.splitlines(), is_json
        self.overrides = {}  # key (or "parameters.<name>") -> the --set argument

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


def load_settings(path, overrides=()):
    """Read and check a settings file; overrides are --set arguments applied on top.

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
    return _from_data(data, _Source(path, text, is_json), overrides)


def settings_from_mapping(mapping, overrides=(), source="<settings>"):
    """Check settings given as a mapping with the settings file's keys (a notebook's dict).

    Raises InputError naming source and what was expected.
    """
    if not isinstance(mapping, dict):
        raise InputError("expected a mapping of settings ({\"wavelength\": ..., ...})", path=source)
    data = {k: (dict(v) if isinstance(v, dict) else v) for k, v in mapping.items()}
    data = {k: (list(v) if isinstance(v, tuple) else v) for k, v in data.items()}
    return _from_data(data, _Source(source, "", True), overrides)


def _from_data(data, source, overrides):
    for argument in overrides:
        name, value = parse_override(argument)
        if name in ALL_PARAMETERS:
            table = data.get("parameters")
            if not isinstance(table, dict):
                table = data["parameters"] = {}
            table[name] = value
            source.overrides[f"parameters.{name}"] = f"--set {argument}"
        else:
            data[name] = value
            source.overrides[name] = f"--set {argument}"
    return dataclasses.replace(_check(data, source), overrides=tuple(overrides))


def _check(data, source):
    for key in data:
        if key not in KNOWN_KEYS:
            hint = " (the parameters go in a [parameters] table)" if key in ALL_PARAMETERS else ""
            raise source.error(f"unknown setting '{key}'{hint}; expected one of {', '.join(KNOWN_KEYS)}", key)
    values = {"model": _model(data, source)}
    for key, (kind, default, meaning) in _SCALARS.items():
        default = registry.get(values["model"]).grid.get(key, default)
        values[key] = _scalar(data, key, kind, default, meaning, source)
    values["pulse_energies"] = _numbers(data, "pulse_energies", source, positive=True)
    values["populations"] = _numbers(data, "populations", source, positive=False, count=POPULATION_COUNT)
    model = registry.get(values["model"])
    values["parameters"] = _parameters(data, source, model)
    values["fit"] = _fit(data, values["parameters"], source, model)
    return Settings(source=source.path, **values)


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
        if name in INSTANTANEOUS and name not in table:
            values[name] = 0.0
            continue
        if name not in table:
            raise source.error(f"missing parameter '{name}' in [parameters]; all eight of {_NAMES} are needed "
                               "(the fitted ones as start values)", None)
        value = table[name]
        may_be_zero = name in MAY_BE_ZERO
        # A cross-section or an absorption coefficient may be 0 (no such transition or term);
        # a time constant divides a rate.
        if not _is_number(value) or (value < 0 if may_be_zero else value <= 0):
            bound = "non-negative" if may_be_zero else "positive"
            raise source.error(f"parameter '{name}': expected a {bound} number in {PARAMETER_UNITS[name]}, "
                               f"found {_found(value)}", name, "parameters")
        values[name] = float(value)
    return values


def _fit(data, parameters, source, model):
    if "fit" not in data:
        raise source.error(f"missing setting 'fit' ({_LISTS['fit']}, for example fit = [\"k2\"])")
    value = data["fit"]
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not value or not all(isinstance(v, str) for v in value):
        raise source.error(f"setting 'fit': expected a non-empty list of parameter names such as [\"k2\"], "
                           f"found {_found(value)}", "fit")
    for name in value:
        if name not in model.parameters:
            if name in ALL_PARAMETERS:
                raise source.error(f"setting 'fit': the {model.name} model has no parameter '{name}'", "fit")
            raise source.error(f"setting 'fit': unknown parameter '{name}'; expected one of "
                               f"{', '.join(model.parameters)}", "fit")
        if value.count(name) > 1:
            raise source.error(f"setting 'fit': parameter '{name}' is listed twice", "fit")
        # The starts scale the start value; from 0 they could not move.
        if parameters[name] == 0:
            raise source.error(f"parameter '{name}' is fitted, so its start value must be positive, found 0",
                               name, "parameters")
    return tuple(value)
