"""Measurement files: one file with positions and one transmittance column per scan, or the
scans of a settings' scan table, from one file or several.

A file is read as its lab software exported it (kelp.io.table): notes above and below the
numeric block, CRLF, legacy code pages, any of the separators.  By default its first column
holds the positions, every other one a scan's transmittance; --columns chooses others.  A
scan table (kelp.io.settings.ScanSpec) names each scan's file and columns: its positions, its
signal, optionally a reference detector to divide by, standard deviations (the fit's weights),
and whether raw readings are normalised by the scan's wings.
"""
import csv
import dataclasses

import numpy as np

from kelp.errors import InputError
from kelp.files import atomic_write
from kelp.io.table import read_table

# The fit averages the first five and the last five positions of each scan for its baseline.
MIN_POSITIONS = 5
WING = 5

# Millimetres per unit of the position column.
X_UNITS = {"mm": 1.0, "cm": 10.0, "m": 1000.0, "um": 1e-3}


@dataclasses.dataclass(frozen=True)
class Format:
    """How to read a measurement file: the --columns, --x-unit and --decimal-comma options, and
    the settings' scan table when they have one."""
    columns: tuple = None    # position column, then transmittance columns: names or 1-based numbers (str)
    x_unit: str = "mm"
    decimal_comma: bool = False
    scans: tuple = ()        # kelp.io.settings.ScanSpec of each scan

    @classmethod
    def parse(cls, columns=None, x_unit="mm", decimal_comma=False, scans=()):
        """From the command line; raises InputError for a malformed --columns or unit."""
        chosen = None
        if columns is not None:
            if scans:
                raise InputError(f"--columns {columns}: the settings' scan table names the columns; drop --columns")
            chosen = tuple(c.strip() for c in columns.split(","))
            if len(chosen) < 2 or not all(chosen):
                raise InputError(f"--columns {columns}: expected the position column and at least one "
                                 "transmittance column, by name or number, separated by commas (e.g. 1,3,4)")
        if x_unit not in X_UNITS:
            raise InputError(f"--x-unit {x_unit}: expected one of {', '.join(X_UNITS)}")
        return cls(columns=chosen, x_unit=x_unit, decimal_comma=bool(decimal_comma), scans=tuple(scans))


@dataclasses.dataclass(frozen=True)
class Measurement:
    path: str
    header_line: int
    position_column: str
    columns: tuple           # names of the transmittance columns, one per scan
    positions: np.ndarray    # mm, shape (n,): the first scan's (every scan's unless scan_x)
    transmittance: np.ndarray  # shape (scans, n)
    delimiter: str = "comma"   # the separator found: comma, semicolon, tab or whitespace
    x_unit: str = "mm"         # unit of the file's position column (positions are converted to mm)
    decimal_comma: bool = False
    scan_x: np.ndarray = None  # (scans, n) mm, where scans have positions of their own
    deviation: np.ndarray = None  # (scans, n) standard deviations of the transmittance, or None
    lines: np.ndarray = None   # (scans, n) line of each point in its file, or None
    files: tuple = ()          # the files read; scan k comes from files[file_of[k]]
    file_of: tuple = ()
    read_as: tuple = ()        # how each file was read, in words
    extra: dict = None         # the format document's entries beyond the flat file's

    @property
    def scans(self):
        return len(self.columns)

    def per_scan(self):
        """Positions of every scan, (scans, n)."""
        if self.scan_x is not None:
            return self.scan_x
        return np.tile(np.asarray(self.positions, dtype=np.float64), (self.scans, 1))

    def file_of_scan(self, k):
        return self.files[self.file_of[k]] if self.files else self.path

    def where(self, k, i):
        """(file, line) of point i of scan k, for messages."""
        line = int(self.lines[k][i]) if self.lines is not None else None
        return self.file_of_scan(k), line

    def describe(self):
        """'tab-separated, positions in cm': how the file was read, for the terminal."""
        if self.read_as:
            return "; ".join(self.read_as)
        parts = [f"{self.delimiter}-separated"]
        if self.decimal_comma:
            parts.append("decimal commas")
        if self.x_unit != "mm":
            parts.append(f"positions in {self.x_unit}")
        return ", ".join(parts)

    def format_document(self):
        doc = {"delimiter": self.delimiter, "decimal_comma": self.decimal_comma, "x_unit": self.x_unit,
               "position_column": self.position_column, "transmittance_columns": list(self.columns)}
        doc.update(self.extra or {})
        return doc


def _file_document(table):
    return {"encoding": table.encoding, "skipped_before_data": table.before.document(),
            "skipped_after_data": table.after.document()}


def read_measurement(path, fmt=None):
    """Read one measurement file (or, with fmt.scans, the scans of a scan table, path being the
    file of the scans that name none); raises InputError with the file, the line and what was
    expected."""
    fmt = fmt or Format()
    if fmt.scans:
        return read_scans(fmt.scans, path, fmt)
    path = str(path)
    table = read_table(path, fmt.decimal_comma)
    if fmt.columns is None:
        chosen = list(range(len(table.header)))
    else:
        chosen = []
        for c in fmt.columns:
            k = table.index(c, "--columns: ")
            if k in chosen:
                raise InputError(f"--columns: column '{table.header[k]}' is chosen twice", path=path,
                                 line=table.header_line)
            chosen.append(k)
    names = [table.header[k] for k in chosen]
    rows = table.filled_rows(chosen)
    _missing_cells(table, rows, chosen)
    columns = [table.column(k, rows) for k in chosen]
    if len(rows) < MIN_POSITIONS:
        raise InputError(f"expected at least {MIN_POSITIONS} rows of data (positions), found {len(rows)}",
                         path=path)
    scale = X_UNITS[fmt.x_unit]
    positions = np.array(columns[0][0], dtype=np.float64)
    positions = positions if scale == 1.0 else positions * scale
    lines = np.array([columns[0][1]] * (len(columns) - 1), dtype=np.int64)
    describe = table.describe() + (f", positions in {fmt.x_unit}" if fmt.x_unit != "mm" else "")
    return Measurement(path=path, header_line=table.header_line, position_column=names[0], columns=tuple(names[1:]),
                       positions=np.ascontiguousarray(positions),
                       transmittance=np.ascontiguousarray(np.array([c[0] for c in columns[1:]], dtype=np.float64)),
                       delimiter=table.delimiter, x_unit=fmt.x_unit, decimal_comma=fmt.decimal_comma, lines=lines,
                       files=(path,), file_of=(0,) * (len(names) - 1), read_as=(describe,),
                       extra=_file_document(table))


def _missing_cells(table, rows, chosen):
    """A row cut short where a chosen column needs a value: name what the header expects."""
    for number, cells in rows:
        width = len([c for c in cells if c != ""])
        if any(cells[k] == "" for k in chosen) and cells[-1] == "" and width < len(table.header):
            last = max(i for i, c in enumerate(cells) if c != "") + 1 if width else 0
            raise InputError(f"expected {len(table.header)} values ({', '.join(table.header)}), found {last}",
                             path=table.path, line=number)


def wing_mean(values):
    """Mean of the first and the last WING values: where a Z-scan sees no sample nonlinearity."""
    return (float(np.sum(values[:WING])) + float(np.sum(values[-WING:]))) / (2 * WING)


def read_scans(specs, default_path, fmt=None):
    """The scans of a scan table as one measurement; raises InputError naming file, line, column."""
    fmt = fmt or Format()
    tables, files = {}, []
    positions, values, deviations, lines, file_of, names, read_as = [], [], [], [], [], [], []
    for number, spec in enumerate(specs, 1):
        path = spec.file or (str(default_path) if default_path is not None else None)
        if path is None:
            raise InputError(f"scan {number} names no file, and no measurement file was given")
        if path not in tables:
            tables[path] = read_table(path, fmt.decimal_comma)
            files.append(path)
            read_as.append(f"{path}: {tables[path].describe()}")
        table = tables[path]
        chosen = {key: table.index(getattr(spec, key), f"scan {number}: {key}: ")
                  for key in ("position", "transmittance", "deviation", "reference") if getattr(spec, key) is not None}
        rows = table.filled_rows(list(chosen.values()))
        got = {key: table.column(k, rows) for key, k in chosen.items()}
        if len(rows) < MIN_POSITIONS:
            raise InputError(f"scan {number}: expected at least {MIN_POSITIONS} rows of data (positions), found "
                             f"{len(rows)}", path=path)
        x = np.array(got["position"][0]) * X_UNITS[spec.x_unit]
        y = np.array(got["transmittance"][0])
        sd = np.array(got["deviation"][0]) if "deviation" in got else None
        if "reference" in got:
            ref = np.array(got["reference"][0])
            for i, r in enumerate(ref):
                if not r > 0:
                    raise InputError(f"column '{table.header[chosen['reference']]}': a reference detector reading "
                                     f"must be positive to divide by, found {r:g}", path=path, line=got["reference"][1][i])
            y = y / ref
            sd = sd / ref if sd is not None else None
        if spec.normalise:
            # Raw readings: the wings, far from the focus, see the linear transmittance alone.
            order = np.argsort(x, kind="stable")
            level = wing_mean(y[order])
            if not level > 0:
                raise InputError(f"scan {number}: column '{table.header[chosen['transmittance']]}': the wings of the "
                                 f"scan average {level:g}; raw readings to normalise must be positive", path=path,
                                 line=rows[0][0])
            y = y / level
            sd = sd / level if sd is not None else None
        positions.append(x)
        values.append(y)
        deviations.append(sd)
        lines.append(got["transmittance"][1])
        file_of.append(files.index(path))
        names.append(table.header[chosen["transmittance"]])
    counts = {len(x) for x in positions}
    if len(counts) > 1:
        raise InputError("the scans have " + ", ".join(str(len(x)) for x in positions) + " positions: every scan of "
                         "one measurement needs as many positions as the others")
    if any(d is None for d in deviations) and any(d is not None for d in deviations):
        raise InputError("some scans give standard deviations and others not: give a 'deviation' column for every "
                         "scan, or for none (the fit's weights are all of one kind)")
    scan_x = np.array(positions, dtype=np.float64)
    shared = all(np.array_equal(scan_x[0], x) for x in scan_x)
    first = tables[files[0]]
    extra = {"files": [{"file": f, **_file_document(tables[f])} for f in files],
             "scans": [dict(spec.document(), file=files[file_of[k]]) for k, spec in enumerate(specs)]}
    if deviations[0] is not None:
        extra["weights"] = "standard deviations"
    return Measurement(path=" + ".join(files), header_line=first.header_line,
                       position_column=first.header[first.index(specs[0].position)], columns=tuple(names),
                       positions=np.ascontiguousarray(scan_x[0]), transmittance=np.ascontiguousarray(values),
                       delimiter=first.delimiter, x_unit=specs[0].x_unit, decimal_comma=fmt.decimal_comma,
                       scan_x=None if shared else np.ascontiguousarray(scan_x),
                       deviation=None if deviations[0] is None else np.ascontiguousarray(deviations),
                       lines=np.array(lines, dtype=np.int64), files=tuple(files), file_of=tuple(file_of),
                       read_as=tuple(read_as), extra=extra)


def energy_column(energy):
    """Column name of a simulated scan, as kelp_curve names it: T_<energy in J>_J."""
    return f"T_{energy:.6g}_J"


def write_curves(path, positions, pulse_energies, curves, detectors=None):
    """CSV of scans in the measurement layout; values round-trip exactly (shortest repr).
    A scan behind a closed aperture, or divided by the open one, says so in its column's name.

    path "-" writes to standard output."""
    detectors = detectors or ("open",) * len(pulse_energies)
    with atomic_write(path) as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["position_mm"] + [energy_column(e) + ("" if d == "open" else f"_{d}")
                                      for e, d in zip(pulse_energies, detectors)])
        for i, x in enumerate(positions):
            w.writerow([repr(float(x))] + [repr(float(curve[i])) for curve in curves])
