"""Measurement files: a header, then one row per position; positions first, one transmittance
column per scan, unless --columns chooses others.

Columns are separated by commas, semicolons, tabs or runs of spaces, whichever splits the file
consistently (the first that does, in that order); with decimal commas (1,5) a comma cannot
separate columns.  Lines starting with '#' and blank lines are skipped, so a file may carry
notes above its header.
"""
import csv
import dataclasses
import math

import numpy as np

from kelp.errors import InputError
from kelp.files import atomic_write

# The fit averages the first five and the last five positions of each scan for its baseline.
MIN_POSITIONS = 5

# Millimetres per unit of the position column.
X_UNITS = {"mm": 1.0, "cm": 10.0, "m": 1000.0, "um": 1e-3}

# Candidate separators, in the order they are tried; None: runs of whitespace.
DELIMITERS = {",": "comma", ";": "semicolon", "\t": "tab", None: "whitespace"}


@dataclasses.dataclass(frozen=True)
class Format:
    """How to read a measurement file: the --columns, --x-unit and --decimal-comma options."""
    columns: tuple = None    # position column, then transmittance columns: names or 1-based numbers (str)
    x_unit: str = "mm"
    decimal_comma: bool = False

    @classmethod
    def parse(cls, columns=None, x_unit="mm", decimal_comma=False):
        """From the command line; raises InputError for a malformed --columns or unit."""
        chosen = None
        if columns is not None:
            chosen = tuple(c.strip() for c in columns.split(","))
            if len(chosen) < 2 or not all(chosen):
                raise InputError(f"--columns {columns}: expected the position column and at least one "
                                 "transmittance column, by name or number, separated by commas (e.g. 1,3,4)")
        if x_unit not in X_UNITS:
            raise InputError(f"--x-unit {x_unit}: expected one of {', '.join(X_UNITS)}")
        return cls(columns=chosen, x_unit=x_unit, decimal_comma=bool(decimal_comma))


@dataclasses.dataclass(frozen=True)
class Measurement:
    path: str
    header_line: int
    position_column: str
    columns: tuple           # names of the transmittance columns, one per scan
    positions: np.ndarray    # mm, shape (n,)
    transmittance: np.ndarray  # shape (scans, n)
    delimiter: str = "comma"   # the separator found: comma, semicolon, tab or whitespace
    x_unit: str = "mm"         # unit of the file's position column (positions are converted to mm)
    decimal_comma: bool = False

    @property
    def scans(self):
        return len(self.columns)

    def describe(self):
        """'tab-separated, positions in cm': how the file was read, for the terminal."""
        parts = [f"{self.delimiter}-separated"]
        if self.decimal_comma:
            parts.append("decimal commas")
        if self.x_unit != "mm":
            parts.append(f"positions in {self.x_unit}")
        return ", ".join(parts)

    def format_document(self):
        return {"delimiter": self.delimiter, "decimal_comma": self.decimal_comma, "x_unit": self.x_unit,
                "position_column": self.position_column, "transmittance_columns": list(self.columns)}


def _content_lines(text):
    """(line number, line) of every line that is neither blank nor a note."""
    for number, line in enumerate(text.splitlines(), 1):
        if line.strip() and not line.lstrip().startswith("#"):
            yield number, line


def _split(line, delimiter):
    if delimiter is None:
        return line.split()
    return [cell.strip() for cell in next(csv.reader([line], delimiter=delimiter))]


def _detect(lines, decimal_comma):
    """The separator that gives every line the header's number of cells (at least 2); else the
    one that splits the header into the most cells, so that the bad line is reported."""
    candidates = [d for d in DELIMITERS if not (decimal_comma and d == ",")]
    widths = {}
    for d in candidates:
        try:
            counts = [len(_split(line, d)) for _, line in lines]
        except csv.Error:
            continue
        if counts[0] >= 2 and all(c == counts[0] for c in counts):
            return d
        widths[d] = counts[0]
    return max(widths, key=lambda d: widths[d]) if widths else candidates[0]


def _number(cell, decimal_comma):
    return float(cell.replace(",", ".") if decimal_comma else cell)


def _is_number(cell, decimal_comma):
    try:
        _number(cell, decimal_comma)
    except ValueError:
        return False
    return True


def _choose(header, chosen, path, line):
    """0-based indices of the chosen columns: a header name, else a 1-based column number."""
    if chosen is None:
        return list(range(len(header)))
    indices = []
    for c in chosen:
        if header.count(c) > 1:
            raise InputError(f"--columns: column '{c}' appears {header.count(c)} times in the header; choose it "
                             "by number", path=path, line=line)
        if c in header:
            k = header.index(c)
        elif c.isdigit() and 1 <= int(c) <= len(header):
            k = int(c) - 1
        else:
            raise InputError(f"--columns: expected a column name ({', '.join(header)}) or a number from 1 to "
                             f"{len(header)}, found '{c}'", path=path, line=line)
        if k in indices:
            raise InputError(f"--columns: column '{header[k]}' is chosen twice", path=path, line=line)
        indices.append(k)
    return indices


def read_measurement(path, fmt=None):
    """Read one measurement file; raises InputError with the file, the line and what was expected."""
    path = str(path)
    fmt = fmt or Format()
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8-sig")
    except OSError as e:
        raise InputError(f"cannot read the measurement: {e.strerror or e}", path=path) from None
    except UnicodeDecodeError:
        raise InputError("cannot read the measurement: not a UTF-8 text file", path=path) from None
    lines = list(_content_lines(text))
    if not lines:
        raise InputError("expected a header line (position column, then one transmittance column per scan), "
                         "found no data", path=path)
    delimiter = _detect(lines, fmt.decimal_comma)
    try:
        rows = [(number, _split(line, delimiter)) for number, line in lines]
    except csv.Error as e:
        raise InputError(f"not valid CSV: {e}", path=path) from None
    header_line, header = rows[0]
    if len(header) < 2:
        raise InputError(f"expected a header with a position column (mm) and at least one transmittance "
                         f"column, found {len(header)} column (no comma, semicolon, tab or run of spaces "
                         "separates columns)", path=path, line=header_line)
    if all(_is_number(cell, fmt.decimal_comma) for cell in header):
        raise InputError(f"expected a header line naming the columns (position, then one transmittance column "
                         f"per scan), found only numbers: {', '.join(header)}", path=path, line=header_line)
    chosen = _choose(header, fmt.columns, path, header_line)
    for k in chosen:
        if not header[k]:
            raise InputError(f"expected a name for every column of the header, found an empty one at column "
                             f"{k + 1}", path=path, line=header_line)
    names = [header[k] for k in chosen]
    hint = "" if fmt.decimal_comma else " (for decimal commas such as 0,98 use --decimal-comma)"
    values = []
    for number, row in rows[1:]:
        if len(row) != len(header):
            raise InputError(f"expected {len(header)} values ({', '.join(header)}), found {len(row)}",
                             path=path, line=number)
        line_values = []
        for k, name in zip(chosen, names):
            cell = row[k]
            try:
                v = _number(cell, fmt.decimal_comma)
            except ValueError:
                more = hint if "," in cell else ""
                raise InputError(f"column '{name}': expected a number, found '{cell}'{more}", path=path,
                                 line=number) from None
            if not math.isfinite(v):
                raise InputError(f"column '{name}': expected a finite number, found '{cell}'", path=path,
                                 line=number)
            line_values.append(v)
        values.append(line_values)
    if len(values) < MIN_POSITIONS:
        raise InputError(f"expected at least {MIN_POSITIONS} rows of data (positions), found {len(values)}",
                         path=path)
    table = np.array(values, dtype=np.float64)
    scale = X_UNITS[fmt.x_unit]
    positions = table[:, 0] if scale == 1.0 else table[:, 0] * scale
    return Measurement(path=path, header_line=header_line, position_column=names[0], columns=tuple(names[1:]),
                       positions=np.ascontiguousarray(positions),
                       transmittance=np.ascontiguousarray(table[:, 1:].T), delimiter=DELIMITERS[delimiter],
                       x_unit=fmt.x_unit, decimal_comma=fmt.decimal_comma)


def energy_column(energy):
    """Column name of a simulated scan, as kelp_curve names it: T_<energy in J>_J."""
    return f"T_{energy:.6g}_J"


def write_curves(path, positions, pulse_energies, curves):
    """CSV of scans in the measurement layout; values round-trip exactly (shortest repr).

    path "-" writes to standard output."""
    with atomic_write(path) as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["position_mm"] + [energy_column(e) for e in pulse_energies])
        for i, x in enumerate(positions):
            w.writerow([repr(float(x))] + [repr(float(curve[i])) for curve in curves])
