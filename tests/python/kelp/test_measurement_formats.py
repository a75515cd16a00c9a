"""Measurement files as lab software writes them: other separators, decimal commas, other
position units, extra columns chosen with --columns, and files without a header.
"""
import json

import numpy as np
import pytest

from conftest import require_module, simulate_files
from kelp.cli import main as cli
from kelp.errors import InputError
from kelp.io.measurement import Format, read_measurement

require_module("kelp.core._core")


@pytest.fixture(scope="module")
def comma(tmp_path_factory):
    return simulate_files(tmp_path_factory.mktemp("formats"), overrides=["k2=1e-17"], noise=2e-3, data="comma.csv")


def cells(data):
    """The comma file's header and rows as text: the variants write the very same numbers."""
    lines = data.read_text().splitlines()
    return lines[0].split(","), [line.split(",") for line in lines[1:]]


def variant(data, name, join, header=None, row=None, notes=""):
    head, rows = cells(data)
    header = header or (lambda h: h)
    row = row or (lambda r: r)
    path = data.with_name(name)
    path.write_text(notes + join(header(head)) + "\n" + "".join(join(row(r)) + "\n" for r in rows))
    return path


# name: (how to write the variant, extra options, how the tool says it read it)
VARIANTS = {
    "semicolon": (dict(join=";".join), [], "semicolon-separated"),
    "tab": (dict(join="\t".join, notes="# exported by the scan software\n\n"), [], "tab-separated"),
    "whitespace": (dict(join=lambda c: "   ".join(f"{v:>22}" for v in c)), [], "whitespace-separated"),
    "decimal comma": (dict(join=";".join, row=lambda r: [v.replace(".", ",") for v in r]), ["--decimal-comma"],
                      "semicolon-separated, decimal commas"),
}

# Files with other columns, and the --columns that picks the comma file's columns from them.
CHOSEN = {
    "by name": (dict(join="\t".join, header=lambda h: ["note", h[2], h[0], h[1]],
                     row=lambda r: ["ok", r[2], r[0], r[1]]), "position_mm,T_5e-07_J,T_1e-06_J"),
    "by number": (dict(join=",".join, header=lambda h: [h[0], "monitor", h[1], h[2]],
                       row=lambda r: [r[0], "n/a", r[1], r[2]]), "1,3,4"),
}


def fitted(settings, data, *options):
    prefix = data.with_suffix("")
    assert cli.main(["fit", str(data), "-s", str(settings), "--set", "n_starts=1", "-o", str(prefix), *options]) == 0
    return json.loads(prefix.with_suffix(".json").read_text())


@pytest.mark.slow  # five real fits
def test_every_separator_gives_the_fit_of_the_comma_file(comma, capsys):
    require_module("kelp_wrapper")
    settings, data = comma
    reference = fitted(settings, data)
    assert reference["data_format"]["delimiter"] == "comma"
    for name, (how, options, said) in VARIANTS.items():
        path = variant(data, name.replace(" ", "_") + ".txt", **how)
        capsys.readouterr()
        doc = fitted(settings, path, *options)
        assert f"({said})" in capsys.readouterr().out, name
        # The same numbers reach the fit: the same fit, bit for bit.
        assert (doc["fitted_parameters"], doc["error"], doc["residuals"]) == (
            reference["fitted_parameters"], reference["error"], reference["residuals"]), name
        assert [s["column"] for s in doc["scans"]] == ["T_5e-07_J", "T_1e-06_J"], name


def test_columns_pick_the_scans_in_the_order_given(comma):
    _, data = comma
    reference = read_measurement(data)
    for name, (how, columns) in CHOSEN.items():
        m = read_measurement(variant(data, name.replace(" ", "_") + ".txt", **how), Format.parse(columns=columns))
        assert (m.position_column, m.columns) == ("position_mm", ("T_5e-07_J", "T_1e-06_J")), name
        assert np.array_equal(m.positions, reference.positions), name
        assert np.array_equal(m.transmittance, reference.transmittance), name


def test_position_units_are_converted_to_mm(comma):
    _, data = comma
    mm = read_measurement(data)
    for unit, per_mm in (("cm", 0.1), ("m", 1e-3), ("um", 1e3)):
        path = variant(data, f"{unit}.csv", ",".join, row=lambda r: [repr(float(r[0]) * per_mm)] + r[1:])
        m = read_measurement(path, Format.parse(x_unit=unit))
        np.testing.assert_allclose(m.positions, mm.positions, rtol=1e-14, atol=1e-12)
        assert np.array_equal(m.transmittance, mm.transmittance) and m.describe().endswith(f"positions in {unit}")


def expect_error(path, fmt, *words):
    with pytest.raises(InputError) as e:
        read_measurement(path, fmt)
    for w in words:
        assert w in str(e.value), str(e.value)


def test_malformed_files_and_column_choices_are_reported_precisely(comma):
    _, data = comma
    no_header = variant(data, "no_header.csv", ",".join, header=lambda h: ["-21", "0.99", "0.98"])
    expect_error(no_header, None, "no_header.csv, line 1:", "expected a header line", "found only numbers")
    european = variant(data, "eu.csv", ";".join, row=lambda r: [v.replace(".", ",") for v in r])
    expect_error(european, None, "eu.csv, line 2:", "column 'position_mm': expected a number", "--decimal-comma")
    one = data.with_name("one.csv")
    one.write_text("position_mm|T\n" + "1|1\n" * 6)
    expect_error(one, None, "one.csv, line 1:", "found 1 column", "no comma, semicolon, tab or run of spaces")
    short = variant(data, "short.tsv", "\t".join, row=lambda r: r if r[0] != "0.0" else r[:2])
    expect_error(short, None, "short.tsv, line 9:", "expected 3 values (position_mm, T_5e-07_J, T_1e-06_J), found 2")
    expect_error(data, Format.parse(columns="x,T_5e-07_J"), "line 1:", "--columns: expected a column name "
                 "(position_mm, T_5e-07_J, T_1e-06_J) or a number from 1 to 3, found 'x'")
    expect_error(data, Format.parse(columns="1,4"), "found '4'")
    expect_error(data, Format.parse(columns="1,2,T_5e-07_J"), "column 'T_5e-07_J' is chosen twice")
    with pytest.raises(InputError, match="--columns 1: expected the position column and at least one"):
        Format.parse(columns="1")
    # Columns left out are not read at all.
    m = read_measurement(variant(data, "extra.csv", ",".join, header=lambda h: h + ["comment"],
                                 row=lambda r: r + ["lamp flickered"]), Format.parse(columns="1,2,3"))
    assert m.columns == ("T_5e-07_J", "T_1e-06_J")
