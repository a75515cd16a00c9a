"""The kelp command without the fit itself: input checks, simulate, result files, batch plumbing.

A stand-in for fit_zscan checks the arrays it is handed as strictly as the real one and
returns the model at known parameters, so these tests need only the forward-model module.
"""
import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli

forward = require_module("kelp.core._core")

SETTINGS = CLI_SETTINGS
FITTED_K2 = 1.25e-17


def stand_in_fit(x, y, populations, t_slices, z_slices, sample_width, tau, wavelength, w0, M2, pulse_energy,
                 spec_pars, fit_indices, num_x_pts, num_datasets, is_sa=False, n_starts=3):
    for a in (x, y, populations, pulse_energy, spec_pars):
        assert a.dtype == np.float64 and a.ndim == 1 and a.flags.c_contiguous and a.flags.writeable
    assert fit_indices.dtype == np.int32 and fit_indices.flags.c_contiguous and fit_indices.flags.writeable
    assert x.size == y.size == num_x_pts * num_datasets and pulse_energy.size == num_datasets
    assert np.array_equal(x[:num_x_pts], x[num_x_pts:2 * num_x_pts])  # every scan at the same positions
    fitted = spec_pars.copy()
    fitted[fit_indices] = FITTED_K2
    model = forward.model_curves(list(x[:num_x_pts]), list(pulse_energy), list(populations), list(fitted),
                                 t_slices, z_slices, sample_width, tau, wavelength, w0, M2)
    residuals = y - np.array(model)
    return residuals, float(np.linalg.norm(residuals)), fitted


def nan_fit(*args, **kwargs):
    residuals, _, fitted = stand_in_fit(*args, **kwargs)
    return residuals, float("nan"), fitted


def kelp(*argv, fit=stand_in_fit):
    return cli.main([str(a) for a in argv], fit_function=fit)


@pytest.fixture
def files(simulated):
    """A settings file and a noise-free measurement simulated from it with k2 = 1e-17."""
    return simulated(overrides=["k2=1e-17"])


def rows(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def test_simulate_matches_kelp_curve_and_noise_is_seeded(tmp_path, files, simulated):
    settings, data = files
    table = rows(data)
    assert table[0] == ["position_mm", "T_5e-07_J", "T_1e-06_J"] and len(table) == 16
    kelp_curve = os.path.join(os.environ.get("KELP_BUILD", "build"), "kelp_curve")
    if os.path.exists(kelp_curve):
        out = subprocess.run([kelp_curve, "energies=5e-7,1e-6", "points=15", "t_slices=5", "z_slices=3",
                              "tau=100e-12", "k2=1e-17"], capture_output=True, text=True, check=True).stdout
        assert np.array_equal(np.loadtxt(out.splitlines()[1:], delimiter=","),
                              np.loadtxt(data, delimiter=",", skiprows=1))
    noisy = []
    for name, seed in (("a", 7), ("b", 7), ("c", 8)):
        _, path = simulated(overrides=["k2=1e-17"], noise=1e-3, seed=seed, data=f"{name}.csv")
        noisy.append(np.loadtxt(path, delimiter=",", skiprows=1))
    clean = np.loadtxt(data, delimiter=",", skiprows=1)
    assert np.array_equal(noisy[0], noisy[1]) and not np.array_equal(noisy[0], noisy[2])
    assert np.array_equal(noisy[0][:, 0], clean[:, 0])
    assert 3e-4 < np.std(noisy[0][:, 1:] - clean[:, 1:]) < 3e-3


def test_fit_writes_json_png_and_table(files, capsys):
    settings, data = files
    assert kelp("fit", data, "-s", settings, "-o", data.parent / "out" / "r") == 0
    out = capsys.readouterr().out
    assert "k2" in out and "2e-17" in out and "1.25e-17" in out and "-37.5 %" in out
    doc = json.loads((data.parent / "out" / "r.json").read_text())
    assert doc["fitted_parameters"] == {"k2": FITTED_K2} and doc["start_parameters"] == {"k2": 2e-17}
    assert doc["parameters"]["k1"] == 1e-18 and doc["settings"]["t_slices"] == 5
    assert doc["settings"]["pulse_energies"] == [5e-7, 1e-6] and doc["versions"]["kelp"]
    assert doc["wall_time_s"] >= 0 and doc["figure_file"].endswith("r.png")
    measured = np.loadtxt(data, delimiter=",", skiprows=1)
    for k, scan in enumerate(doc["scans"]):
        assert scan["pulse_energy_J"] == [5e-7, 1e-6][k] and scan["position_mm"] == measured[:, 0].tolist()
        assert scan["measured"] == measured[:, k + 1].tolist()
        np.testing.assert_allclose(np.array(scan["measured"]) - scan["residuals"], scan["model"], rtol=0,
                                   atol=1e-15)
        assert doc["residuals"][15 * k:15 * (k + 1)] == scan["residuals"]
    assert np.linalg.norm(doc["residuals"]) == pytest.approx(doc["error"])
    png = (data.parent / "out" / "r.png").read_bytes()
    assert png.startswith(b"\x89PNG") and len(png) > 10_000
    assert sorted(os.listdir(data.parent / "out")) == ["r.json", "r.png"]  # no temporary left behind


def test_failed_fit_is_reported_and_writes_nothing(files, capsys):
    settings, data = files
    assert kelp("fit", data, "-s", settings, fit=nan_fit) == 1
    assert "the fit gave no usable result: the error is nan" in capsys.readouterr().err
    assert sorted(p.name for p in data.parent.iterdir()) == ["rsa.csv", "rsa.toml"]


def _edit(path, old, new):
    """Replace text old, or line number old (0-based) when it is an int; None: the whole file."""
    text = path.read_text()
    if old is None:
        text = new
    elif isinstance(old, int):
        lines = text.splitlines(keepends=True)
        lines[old] = new + "\n"
        text = "".join(lines)
    else:
        assert old in text
        text = text.replace(old, new)
    path.write_text(text)


# (file to edit, text or line to replace, replacement, words the message must hold)
MALFORMED = {
    "missing column": ("data", 3, "-17.0,0.99", ["rsa.csv, line 4:", "expected 3 values", "found 2"]),
    "non-numeric cell": ("data", 1, "-20.0,abc,1.0", ["rsa.csv, line 2:", "column 'T_5e-07_J'",
                                                     "expected a number, found 'abc'"]),
    "header only": ("data", None, "position_mm\n", ["rsa.csv, line 1:", "at least one transmittance column"]),
    "unknown parameter": ("settings", "k3 = 1e-17", "k9 = 1e-17", ["rsa.toml, line 17:", "unknown parameter 'k9'",
                                                                  "k1, k2, k3, tau4"]),
    "unknown fitted parameter": ("settings", 'fit = ["k2"]', 'fit = ["k2", "tau9"]',
                                 ["rsa.toml, line 12:", "unknown parameter 'tau9'"]),
    "wrong number of energies": ("settings", "[0.5e-6, 1.0e-6]", "[0.5e-6, 1.0e-6, 2e-6]",
                                 ["rsa.csv, line 1:", "found 2 transmittance columns", "gives 3 pulse energies",
                                  "one pulse energy per transmittance column"]),
    "bad value": ("settings", "tau = 100e-12", 'tau = "100 ps"', ["rsa.toml, line 5:", "setting 'tau'",
                                                                 "expected a positive number"]),
    "toml syntax": ("settings", "z_slices = 3", "z_slices = ", ["rsa.toml, line 8:", "not valid TOML"]),
    "missing setting": ("settings", "w0 = 20e-6\n", "", ["rsa.toml:", "missing setting 'w0'"]),
    "too few positions": ("data", None, "x,T1,T2\n1,1,1\n2,1,1\n", ["rsa.csv:", "at least 5 rows"]),
}


@pytest.mark.parametrize("case", MALFORMED)
def test_malformed_input_gives_clear_message_and_status_2(files, capsys, case):
    settings, data = files
    which, old, new, words = MALFORMED[case]
    _edit(settings if which == "settings" else data, old, new)
    assert kelp("fit", data, "-s", settings) == 2
    err = capsys.readouterr().err
    assert err.startswith("kelp fit: error: ") and "Traceback" not in err
    for w in words:
        assert w in err, err
    assert not list(data.parent.glob("*.fit.*"))


def test_json_settings_and_overrides(files, capsys):
    settings, data = files
    import tomllib
    doc = tomllib.loads(SETTINGS)
    doc["parameters"]["k4"] = 1.0
    js = settings.with_suffix(".json")
    js.write_text(json.dumps(doc, indent=1))
    assert kelp("fit", data, "-s", js) == 2
    line = next(n for n, t in enumerate(js.read_text().splitlines(), 1) if '"k4"' in t)
    assert f"rsa.json, line {line}: unknown parameter 'k4'" in capsys.readouterr().err
    del doc["parameters"]["k4"]
    js.write_text(json.dumps(doc))
    assert kelp("fit", data, "-s", js, "--set", "n_starts=0") == 2
    assert "--set n_starts=0: setting 'n_starts': expected a whole number 1 or more" in capsys.readouterr().err
    assert kelp("fit", data, "-s", js, "--set", "k2=3e-17", "--set", "fit=k2", "-o", data.parent / "j") == 0
    doc = json.loads((data.parent / "j.json").read_text())
    assert doc["start_parameters"] == {"k2": 3e-17} and doc["overrides"] == ["k2=3e-17", "fit=k2"]


def test_command_line_errors_without_traceback(files):
    settings, data = files
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.getcwd()] + sys.path))
    run = subprocess.run([sys.executable, "-m", "kelp", "fit", str(data), "-s", str(settings), "--set", "k2=-1"],
                         capture_output=True, text=True, env=env)
    assert run.returncode == 2 and "Traceback" not in run.stderr
    assert "parameter 'k2': expected a non-negative number in cm²" in run.stderr
    run = subprocess.run([sys.executable, "-m", "kelp", "fit", str(data)], capture_output=True, text=True, env=env)
    assert run.returncode == 2 and "-s/--settings" in run.stderr


def test_batch_skips_a_bad_file_and_writes_a_summary(files, capsys):
    settings, data = files
    paths = []
    for name in ("a", "b", "c"):
        p = data.parent / f"{name}.csv"
        p.write_text(data.read_text())
        paths.append(p)
    _edit(paths[1], 1, "-20.0,x,1.0")
    out = data.parent / "results"
    assert kelp("batch", "-s", settings, *paths, "-d", out, "-j", 2, "--no-progress") == 1
    captured = capsys.readouterr()
    assert "kelp: skipped:" in captured.err and "b.csv, line 2: column 'T_5e-07_J'" in captured.err
    assert "fitted 2 of 3 files; 1 failed" in captured.out
    assert sorted(os.listdir(out)) == ["a.fit.json", "a.fit.png", "c.fit.json", "c.fit.png", "summary.csv"]
    summary = rows(out / "summary.csv")
    # fit_zscan's columns keep their places; the refinement's follow them.
    assert summary[0] == ["file", "status", "error", "k2", "wall_time_s", "json", "png", "message",
                          "refined_error", "k2_refined", "k2_se", "converged", "warnings"]
    assert [r[1] for r in summary[1:]] == ["ok", "failed", "ok"]
    assert float(summary[1][3]) == FITTED_K2 and summary[1][5] == str(out / "a.fit.json")
    assert float(summary[1][9]) == pytest.approx(1e-17, rel=1e-4, abs=0) and summary[1][11] == "true"
    assert "expected a number, found 'x'" in summary[2][7] and summary[2][8:] == [""] * 5
    # Two inputs of one name would overwrite each other's result: refused before any fit.
    (data.parent / "sub").mkdir()
    twin = data.parent / "sub" / "a.csv"
    twin.write_text(data.read_text())
    assert kelp("batch", "-s", settings, paths[0], twin, "-d", out, "--no-progress") == 2
    assert "would both write" in capsys.readouterr().err


def test_result_files_are_replaced_atomically(tmp_path, files):
    from kelp import files as kfiles
    target = tmp_path / "keep.json"
    target.write_text("old")
    with pytest.raises(RuntimeError):
        with kfiles.atomic_write(target) as f:
            f.write("half")
            raise RuntimeError("disk full")
    assert target.read_text() == "old" and sorted(p.name for p in tmp_path.iterdir()) == [
        "keep.json", "rsa.csv", "rsa.toml"]
    with kfiles.atomic_write(target) as f:
        f.write("new")
    assert target.read_text() == "new" and oct(target.stat().st_mode & 0o777) == oct(0o666 & ~kfiles._UMASK)
