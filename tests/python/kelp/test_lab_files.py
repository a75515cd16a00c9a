"""Measurement files in the shapes real lab software exports, made here from one clean CSV:
each reads to the clean file's numbers; a bad point inside the data is still an error that
names the file, the line and the column."""
import json

import numpy as np
import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli
from kelp.errors import InputError
from kelp.io.measurement import Format, read_measurement
from kelp.io.settings import load_settings

require_module("kelp.core._core")


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    d = tmp_path_factory.mktemp("lab")
    settings = d / "rsa.toml"
    settings.write_text(CLI_SETTINGS)
    data = d / "clean.csv"
    assert cli.main(["simulate", "-s", str(settings), "--set", "k2=1e-17", "-o", str(data), "--points", "15",
                     "--noise", "2e-3"]) == 0
    rows = [line.split(",") for line in data.read_text().splitlines()[1:]]
    return d, settings, read_measurement(data), rows


def write(path, text, encoding="utf-8"):
    path.write_bytes(text.encode(encoding))
    return path


TRAILER = "\r\nMaterial:InSe\t\r\nWavelength: 1064 nm\t\r\nAperture Diameter: 2  mm\t\r\nSample Thickness: mm\t\t\r\n" \
          "Ölçüm yeri: ışık laboratuvarı\t\r\n"


def shapes(rows):
    """name -> (file text, encoding): the same numbers as the clean file, as labs export them."""
    return {
        # Metadata and a commented header above, CRLF, tabs with trailing empty cells, a Turkish
        # code page's metadata below.
        "film": ("# Sample: InSe thin film\r\n# Energy: (9.294 +- 0.036) uJ\r\n# Position / mm\tT_a\tT_b\r\n"
                 + "".join("\t".join(r) + "\t\t\r\n" for r in rows) + TRAILER, "cp1254"),
        # Uncommented metadata above the header, columns aligned with leading spaces, Latin-1.
        "aligned": ("Operator: Müller\nStage speed: 1 mm/s\n  Position / mm      T_a      T_b\n"
                    + "".join("".join(f"{v:>24}" for v in r) + "\n" for r in rows), "latin-1"),
        # Commas, CR line ends, a note column of the scan software, a UTF-8 byte-order mark.
        "comma": ("\ufeffz,note,T_a,T_b\r" + "".join(f"{r[0]},ok,{r[1]},{r[2]}\r" for r in rows), "utf-8"),
    }


def test_every_exported_shape_reads_to_the_clean_files_numbers(clean):
    d, _, reference, rows = clean
    for name, (text, encoding) in shapes(rows).items():
        columns = "1,3,4" if name == "comma" else None
        m = read_measurement(write(d / f"{name}.txt", text, encoding), Format.parse(columns=columns))
        assert np.array_equal(m.positions, reference.positions), name
        assert np.array_equal(m.transmittance, reference.transmittance), name
    m = read_measurement(d / "film.txt")
    assert m.columns == ("T_a", "T_b") and m.position_column == "Position / mm"
    doc = m.format_document()
    assert (doc["delimiter"], doc["encoding"]) == ("tab", "cp1252")
    assert doc["skipped_before_data"] == {"lines": 2, "from": 1, "to": 2, "comment_lines": 2}
    assert doc["skipped_after_data"] == {"lines": 5, "from": 20, "to": 24, "comment_lines": 0}
    assert "5 lines below the data skipped (lines 20-24)" in m.describe()
    assert "2 lines above the data skipped (lines 1-2)" in read_measurement(d / "aligned.txt").describe()


def test_a_point_that_is_not_a_number_inside_the_data_is_an_error(clean):
    d, _, _, rows = clean
    text, encoding = shapes(rows)["film"]
    cases = {
        "inside": (text.replace(f"\t{rows[6][1]}\t", "\tn/a\t", 1), "line 10: column 'T_a': expected a number, found 'n/a'"),
        # A broken last row is not taken for the metadata below it.
        "last row": (text.replace(f"{rows[-1][0]}\t{rows[-1][1]}", f"{rows[-1][0]}\t#VALUE!"),
                     "line 18: column 'T_a': expected a number, found '#VALUE!'"),
        "empty cell": (text.replace(f"\t{rows[3][1]}\t", "\t\t", 1), "line 7: column 'T_a': expected a number, "
                                                                        "found an empty cell"),
        "cut short": (text.replace(f"\t{rows[3][2]}\t", "\t\t", 1), "line 7: expected 3 values (Position / mm, "
                                                                       "T_a, T_b), found 2"),
        "position": (text.replace(f"{rows[4][0]}\t", "x\t", 1), "line 8: column 'Position / mm': expected a number"),
    }
    for name, (broken, words) in cases.items():
        path = write(d / f"broken_{name.replace(' ', '_')}.txt", broken, encoding)
        with pytest.raises(InputError) as e:
            read_measurement(path)
        assert f"{path}, {words}" in str(e.value), name


def scan_table(d, name, entries, extra=""):
    text = CLI_SETTINGS.replace("pulse_energies = [0.5e-6, 1.0e-6]\n", extra)
    text = text.replace("[parameters]", "".join(f"[[scans]]\n{e}\n" for e in entries) + "[parameters]")
    path = d / name
    path.write_text(text)
    return load_settings(path)


def test_scans_from_several_files_and_column_groups_make_one_measurement(clean):
    d, _, reference, rows = clean
    # One file per scan, tab-separated, each with a standard deviation column.
    for k, name in ((1, "600oa.txt"), (2, "700oa.txt")):
        write(d / name, "Z(mm)\tT_OA\tdeltaT_OA\r\n" + "".join(f"{r[0]}\t{r[k]}\t0.002\r\n" for r in rows))
    s = scan_table(d, "files.toml", [
        'file = "600oa.txt"\ntransmittance = "T_OA"\ndeviation = "deltaT_OA"\npulse_energy = 0.5e-6',
        'file = "700oa.txt"\ntransmittance = "T_OA"\ndeviation = "deltaT_OA"\naverage_power = 1e-3\nrepetition_rate = 1e3'])
    m = read_measurement(None, Format(scans=s.scans))
    assert s.pulse_energies == (0.5e-6, 1e-6) and m.files == (str(d / "600oa.txt"), str(d / "700oa.txt"))
    assert np.array_equal(m.transmittance, reference.transmittance) and np.all(m.deviation == 0.002)
    # A wide file: a group of columns per power, raw detector powers divided by a monitor,
    # normalised by each scan's wings; nominal powers in a first column that then stays empty.
    scale = (3e-3, 5e-3)
    header = "P_nominal(W),Z_0.010W,OA_0.010W,M_0.010W,Z_0.015W,OA_0.015W,M_0.015W\n"
    body = "".join(f"{p},{r[0]},{float(r[1]) * scale[0] * 2!r},2,{r[0]},{float(r[2]) * scale[1]!r},1\n"
                   for p, r in zip(["0.010", "0.015"] + [""] * (len(rows) - 2), rows))
    write(d / "wide.csv", header + body)
    s = scan_table(d, "wide.toml", [
        f'position = "Z_{w}"\ntransmittance = "OA_{w}"\nreference = "M_{w}"\nnormalise = true\npulse_energy = {e}'
        for w, e in (("0.010W", 0.5e-6), ("0.015W", 1e-6))])
    m = read_measurement(d / "wide.csv", Format(scans=s.scans))
    assert np.array_equal(m.positions, reference.positions) and m.scan_x is None
    for k in range(2):
        y = reference.transmittance[k]
        level = (y[:5].sum() + y[-5:].sum()) / 10
        np.testing.assert_allclose(m.transmittance[k], y / level, rtol=1e-12)
    with pytest.raises(InputError, match="wide.csv, line 1: scan 2: transmittance: expected a column name .* found 'OA_0.020W'"):
        read_measurement(d / "wide.csv", Format(scans=scan_table(d, "bad.toml", [
            'position = "Z_0.010W"\ntransmittance = "OA_0.010W"\npulse_energy = 1e-6',
            'position = "Z_0.015W"\ntransmittance = "OA_0.020W"\npulse_energy = 1e-6']).scans))


def test_the_fit_of_a_scan_table_reads_the_files_it_names(clean, capsys):
    require_module("kelp_wrapper")
    d, settings, _, rows = clean
    write(d / "a.txt", "z\tT\r\n" + "".join(f"{r[0]}\t{r[1]}\r\n" for r in rows))
    write(d / "b.txt", "z\tT\r\n" + "".join(f"{r[0]}\t{r[2]}\r\n" for r in rows))
    scan_table(d, "ab.toml", ['file = "a.txt"\ntransmittance = "T"\npulse_energy = 0.5e-6',
                              'file = "b.txt"\ntransmittance = "T"\npulse_energy = 1e-6'])
    reference = d / "ref"
    assert cli.main(["fit", str(d / "clean.csv"), "-s", str(settings), "--set", "n_starts=1", "-o", str(reference)]) == 0
    assert cli.main(["fit", "-s", str(d / "ab.toml"), "--set", "n_starts=1"]) == 0
    doc, ref = (json.loads(p.read_text()) for p in (d / "ab.fit.json", reference.with_suffix(".json")))
    assert (doc["error"], doc["refined"]["parameters"]) == (ref["error"], ref["refined"]["parameters"])
    assert [f["file"] for f in doc["data_format"]["files"]] == [str(d / "a.txt"), str(d / "b.txt")]
    assert cli.main(["fit", "-s", str(settings)]) == 2
    assert "expected a measurement file" in capsys.readouterr().err
