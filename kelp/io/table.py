"""Lab text files as their software exports them: a numeric block with a header, between notes.

- Bytes: UTF-8 (with or without a byte-order mark), else a legacy 8-bit code page (Western
  cp1252, and Latin-1 for the bytes it leaves undefined).  Only the numeric block and its header
  are read as values, so an odd byte in a note or a header never fails the file.
- Line ends: LF, CRLF or CR.
- The numeric block runs from the first to the last data line: a line of at least two
  numbers, and more numbers than words.  Its header is the line just above it (a commented header,
  `# Position / mm  T_OA ...`, is taken when it names as many columns as the data hold).
  Lines before the header and after the block are metadata and are skipped; the table says
  how many and where.  Inside the block, '#' lines and blank lines are notes; any other line
  is a row, and a cell that is not a number where a number is needed is an error naming the
  file, the line and the column.
- Separators: commas, semicolons, tabs or runs of spaces, the first that splits the header
  into at least two names and no row into more cells than the header has.  Empty cells at a
  row's end (trailing tabs, a group of columns that ends early) are allowed.
"""
import csv
import dataclasses
import math
import re

from kelp.errors import InputError

# Candidate separators, in the order they are tried; None: runs of whitespace.
DELIMITERS = {",": "comma", ";": "semicolon", "\t": "tab", None: "whitespace"}
ENCODINGS = ("utf-8-sig", "cp1252", "latin-1")  # latin-1 decodes every byte

_TOKENS = re.compile(r"[\s,;]+")
_TOKENS_DECIMAL_COMMA = re.compile(r"[\s;]+")


@dataclasses.dataclass(frozen=True)
class Skipped:
    """Lines outside the block (metadata, comments), counted without blank ones."""
    lines: int = 0
    first: int = None
    last: int = None
    notes: int = 0  # of them '#' lines, which were always notes

    def document(self):
        return {"lines": self.lines, "from": self.first, "to": self.last, "comment_lines": self.notes}


@dataclasses.dataclass(frozen=True)
class Table:
    path: str
    header_line: int
    header: tuple            # column names
    rows: tuple              # (line number, cells padded to the header's width)
    delimiter: str           # comma, semicolon, tab or whitespace
    encoding: str
    decimal_comma: bool
    before: Skipped          # lines above the header
    after: Skipped           # lines below the block

    def index(self, chosen, context=""):
        """0-based index of a column given by header name or 1-based number (a str); context
        begins an error's message (who chose the column)."""
        chosen = str(chosen).strip()
        if self.header.count(chosen) > 1:
            raise InputError(f"{context}column '{chosen}' appears {self.header.count(chosen)} times in the header; choose "
                             "it by number", path=self.path, line=self.header_line)
        if chosen in self.header:
            return self.header.index(chosen)
        if chosen.isdigit() and 1 <= int(chosen) <= len(self.header):
            return int(chosen) - 1
        raise InputError(f"{context}expected a column name ({', '.join(self.header)}) or a number from 1 to "
                         f"{len(self.header)}, found '{chosen}'", path=self.path, line=self.header_line)

    def column(self, k, rows=None):
        """(values, line numbers) of column k over rows (default: all)."""
        name = self.header[k]
        hint = "" if self.decimal_comma else " (for decimal commas such as 0,98 use --decimal-comma)"
        values, lines = [], []
        for number, cells in (self.rows if rows is None else rows):
            cell = cells[k]
            if cell == "":
                raise InputError(f"column '{name}': expected a number, found an empty cell", path=self.path,
                                 line=number)
            try:
                v = number_of(cell, self.decimal_comma)
            except ValueError:
                more = hint if "," in cell else ""
                raise InputError(f"column '{name}': expected a number, found '{cell}'{more}", path=self.path,
                                 line=number) from None
            if not math.isfinite(v):
                raise InputError(f"column '{name}': expected a finite number, found '{cell}'", path=self.path,
                                 line=number)
            values.append(v)
            lines.append(number)
        return values, lines

    def filled_rows(self, columns):
        """The rows of the block up to the last one with a cell in any of columns: a group of
        columns may end before the others."""
        rows = list(self.rows)
        while rows and all(rows[-1][1][k] == "" for k in columns):
            rows.pop()
        return rows

    def describe(self):
        parts = [f"{self.delimiter}-separated"]
        if self.decimal_comma:
            parts.append("decimal commas")
        if self.encoding not in ENCODINGS[:1]:
            parts.append(f"read as {self.encoding}")
        for where, s in (("above", self.before), ("below", self.after)):
            # '#' notes alone go unmentioned here (the result counts them): files always had them.
            if s.lines > s.notes:
                parts.append(f"{s.lines} line{'s' if s.lines != 1 else ''} {where} the data skipped "
                             f"({_span(s)})")
        return ", ".join(parts)


def _span(s):
    return f"line {s.first}" if s.first == s.last else f"lines {s.first}-{s.last}"


def number_of(cell, decimal_comma):
    return float(cell.replace(",", ".") if decimal_comma else cell)


def _is_number(token, decimal_comma):
    try:
        number_of(token, decimal_comma)
    except ValueError:
        return False
    return True


def _tokens(line, decimal_comma=False):
    return [t for t in (_TOKENS_DECIMAL_COMMA if decimal_comma else _TOKENS).split(line.strip()) if t]


def _is_data(line, decimal_comma):
    """A data line holds at least two numbers, and more numbers than words (a note column of
    the scan software may stand beside them; 'Energy: 9.3 +- 0.04 uJ' is metadata)."""
    tokens = _tokens(line, decimal_comma)
    numbers = sum(_is_number(t, decimal_comma) for t in tokens)
    return numbers >= 2 and 2 * numbers > len(tokens)


def _looks_like_a_row(line, decimal_comma):
    tokens = _tokens(line, decimal_comma)
    return bool(tokens) and _is_number(tokens[0], decimal_comma)


def _split(line, delimiter):
    if delimiter is None:
        return line.split()
    return [cell.strip() for cell in next(csv.reader([line], delimiter=delimiter))]


def _trimmed(cells):
    while cells and cells[-1] == "":
        cells = cells[:-1]
    return cells


def _header_cells(line, delimiter):
    return _trimmed(_split(line, delimiter))


def _detect(header, rows, decimal_comma):
    """(delimiter, header cells): the first separator that splits the header into at least two
    names and no row into more cells; else the one that splits the header most, so that the
    offending line is reported."""
    candidates = [d for d in DELIMITERS if not (decimal_comma and d == ",")]
    widths = {}
    for d in candidates:
        try:
            head = _header_cells(header, d)
            if d is None:
                # A header aligned with runs of spaces may hold names with single spaces in them.
                data_width = max((len(_trimmed(_split(line, d))) for _, line in rows), default=0)
                if len(head) != data_width:
                    wide = [c for c in re.split(r"\s{2,}|\t", header.strip()) if c]
                    if len(wide) == data_width:
                        head = wide
            counts = [len(_trimmed(_split(line, d))) for _, line in rows]
        except csv.Error:
            continue
        if len(head) >= 2 and all(2 <= c <= len(head) for c in counts):
            return d, head
        widths[d] = len(head)
    d = max(widths, key=lambda k: widths[k]) if widths else candidates[0]
    return d, _header_cells(header, d)


def decode(raw):
    """(text, encoding): the first encoding of ENCODINGS that decodes the bytes."""
    for encoding in ENCODINGS:
        try:
            return raw.decode(encoding), encoding
        except UnicodeDecodeError:
            continue
    raise AssertionError("latin-1 decodes every byte")


def read_table(path, decimal_comma=False, what="measurement"):
    """The block of a lab file; raises InputError with the file, the line and what was expected."""
    path = str(path)
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise InputError(f"cannot read the {what}: {e.strerror or e}", path=path) from None
    if b"\0" in raw:
        raise InputError(f"cannot read the {what}: a binary file, not text", path=path)
    text, encoding = decode(raw)
    lines = text.splitlines()
    data = [i for i, line in enumerate(lines) if not _is_note(line) and _is_data(line, decimal_comma)]
    if data:
        first, last = data[0], data[-1]
        header_index = _header_index(lines, first, decimal_comma)
        if header_index is None:
            raise InputError("expected a header line naming the columns (position, then one transmittance column "
                             f"per scan), found only numbers: {lines[first].strip()}", path=path, line=first + 1)
        rows = [(i + 1, lines[i]) for i in range(first, last + 1) if not _is_note(lines[i])]
    else:
        # No numbers at all: the first line that is not a note is the header, and what is
        # wrong with it (or that no rows follow it) is the message.
        content = [i for i, line in enumerate(lines) if not _is_note(line)]
        if not content:
            raise InputError("expected a header line (position column, then one transmittance column per scan), "
                             "found no data", path=path)
        header_index = last = content[0]
        rows = []
    header_text = lines[header_index].strip().lstrip("#").strip()
    delimiter, header = _detect(header_text, rows, decimal_comma)
    if len(header) < 2:
        raise InputError(f"expected a header with a position column and at least one transmittance column, "
                         f"found {len(header)} column (no comma, semicolon, tab or run of spaces separates "
                         "columns)", path=path, line=header_index + 1)
    if all(_is_number(cell, decimal_comma) for cell in header):
        raise InputError("expected a header line naming the columns (position, then one transmittance column "
                         f"per scan), found only numbers: {', '.join(header)}", path=path, line=header_index + 1)
    for k, name in enumerate(header):
        if not name:
            raise InputError(f"expected a name for every column of the header, found an empty one at column "
                             f"{k + 1}", path=path, line=header_index + 1)
    cells = []
    try:
        for number, line in rows:
            row = _trimmed(_split(line, delimiter))
            if len(row) > len(header):
                raise InputError(f"expected {len(header)} values ({', '.join(header)}), found {len(row)}",
                                 path=path, line=number)
            cells.append((number, tuple(row) + ("",) * (len(header) - len(row))))
    except csv.Error as e:
        raise InputError(f"not valid CSV: {e}", path=path) from None
    after = [i for i in range(last + 1, len(lines)) if lines[i].strip()]
    for i in after:
        if not _is_note(lines[i]) and _looks_like_a_row(lines[i], decimal_comma) and \
                len(_trimmed(_split(lines[i], delimiter))) == len(header):
            # A row whose value is unreadable, not a note: say so rather than drop it.
            cells.append((i + 1, tuple(_split(lines[i], delimiter))))
    before = [i for i in range(header_index) if lines[i].strip()]
    read = {n for n, _ in cells}
    return Table(path=path, header_line=header_index + 1, header=tuple(header), rows=tuple(cells),
                 delimiter=DELIMITERS[delimiter], encoding=encoding, decimal_comma=decimal_comma,
                 before=_skipped(lines, before),
                 after=_skipped(lines, [i for i in after if i + 1 not in read]))


def _skipped(lines, indices):
    if not indices:
        return Skipped()
    return Skipped(len(indices), indices[0] + 1, indices[-1] + 1, sum(_is_note(lines[i]) for i in indices))


def _is_note(line):
    return not line.strip() or line.lstrip().startswith("#")


def _header_index(lines, first, decimal_comma):
    """The header above the block's first row: the nearest line that is not blank, a commented
    header included; a note that holds no names falls back to the nearest uncommented line."""
    i = first - 1
    while i >= 0 and not lines[i].strip():
        i -= 1
    if i < 0:
        return None
    if not lines[i].lstrip().startswith("#"):
        return None if _is_data(lines[i], decimal_comma) else i
    width = max(len(_tokens(line, decimal_comma)) for line in lines[first:first + 5])
    text = lines[i].strip().lstrip("#").strip()
    if text and len([c for c in re.split(r"\s{2,}|\t|[,;]", text) if c.strip()]) == width:
        return i
    while i >= 0 and _is_note(lines[i]):
        i -= 1
    return i if i >= 0 else None
