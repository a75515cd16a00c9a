"""Measurement files: CSV with a header, positions (mm) first, one transmittance column per scan.

Lines starting with '#' and blank lines are skipped, so a file may carry notes above its header.
"""
import csv
import dataclasses
import io
import math

import numpy as np

from kelp_cli.errors import InputError
from kelp_cli.files import atomic_write

# The fit averages the first five and the last five positions of each scan for its baseline.
MIN_POSITIONS = 5


@dataclasses.dataclass(frozen=True)
class Measurement:
    path: str
    header_line: int
    position_column: str
    columns: tuple           # names of the transmittance columns, one per scan
    positions: np.ndarray    # mm, shape (n,)
    transmittance: np.ndarray  # shape (scans, n)

    @property
    def scans(self):
        return len(self.columns)


def _rows(text):
    reader = csv.reader(io.StringIO(text, newline=""))
    for row in reader:
        if not row or all(not cell.strip() for cell in row) or row[0].lstrip().startswith("#"):
            continue
        yield reader.line_num, [cell.strip() for cell in row]


def read_measurement(path):
    """Read one measurement file; raises InputError with the file, the line and what was expected."""
    path = str(path)
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8-sig")
    except OSError as e:
        raise InputError(f"cannot read the measurement: {e.strerror or e}", path=path) from None
    except UnicodeDecodeError:
        raise InputError("cannot read the measurement: not a UTF-8 text file", path=path) from None
    try:
        rows = list(_rows(text))
    except csv.Error as e:
        raise InputError(f"not valid CSV: {e}", path=path) from None
    if not rows:
        raise InputError("expected a header line (position column, then one transmittance column per scan), "
                         "found no data", path=path)
    header_line, header = rows[0]
    if len(header) < 2:
        raise InputError(f"expected a header with a position column (mm) and at least one transmittance "
                         f"column, found {len(header)} column", path=path, line=header_line)
    if any(not name for name in header):
        raise InputError(f"expected a name for every column of the header, found an empty one at column "
                         f"{header.index('') + 1}", path=path, line=header_line)
    values = []
    for number, row in rows[1:]:
        if len(row) != len(header):
            raise InputError(f"expected {len(header)} values ({', '.join(header)}), found {len(row)}",
                             path=path, line=number)
        line_values = []
        for name, cell in zip(header, row):
            try:
                v = float(cell)
            except ValueError:
                raise InputError(f"column '{name}': expected a number, found '{cell}'", path=path,
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
    return Measurement(path=path, header_line=header_line, position_column=header[0], columns=tuple(header[1:]),
                       positions=np.ascontiguousarray(table[:, 0]),
                       transmittance=np.ascontiguousarray(table[:, 1:].T))


def energy_column(energy):
    """Column name of a simulated scan, as kelp_curve names it: T_<energy in J>_J."""
    return f"T_{energy:.6g}_J"


def write_curves(path, positions, pulse_energies, curves):
    """CSV of scans in the measurement layout; values round-trip exactly (shortest repr)."""
    with atomic_write(path) as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["position_mm"] + [energy_column(e) for e in pulse_energies])
        for i, x in enumerate(positions):
            w.writerow([repr(float(x))] + [repr(float(curve[i])) for curve in curves])
