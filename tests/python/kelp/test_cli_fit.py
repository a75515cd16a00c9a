"""The kelp command with the real fit: simulate -> fit recovers the parameter; batch on threads.

Tiny grids (15 positions x 5 time x 3 depth points, 100 ps pulses) keep each fit well under a
second; k2 is well constrained by such curves, and noise-free data make the true value an
exact minimum.
"""
import csv
import json

import numpy as np
import pytest

from conftest import require_module, simulate_files
from kelp.cli import main as cli

require_module("kelp_wrapper")
forward = require_module("kelp.core._core")

TRUE_K2 = 1e-17


@pytest.fixture(scope="module")
def measured(tmp_path_factory):
    return simulate_files(tmp_path_factory.mktemp("fit"), overrides=[f"k2={TRUE_K2}"])


def test_simulate_then_fit_recovers_k2(measured, capsys):
    settings, data = measured
    assert cli.main(["fit", str(data), "-s", str(settings)]) == 0
    out = capsys.readouterr().out
    assert "k2" in out and "result: " in out and "figure: " in out
    doc = json.loads(data.with_suffix(".fit.json").read_text())
    k2 = doc["fitted_parameters"]["k2"]
    assert k2 == pytest.approx(TRUE_K2, rel=1e-5, abs=0)  # reaches about 5e-7 with lmdif's tol of 1e-3
    assert doc["parameters"] == {**doc["settings"]["parameters"], "k2": k2}
    # The curve drawn and stored is measured - residual: the model at the fitted value.
    fitted = [doc["parameters"][n] for n in ("k1", "k2", "k3", "tau4", "tau5", "tau6", "tau7", "tau8")]
    model = forward.model_curves(doc["scans"][0]["position_mm"], [5e-7, 1e-6], [1e20, 0, 0, 0, 0], fitted, 5, 3,
                                 1e-3, 100e-12, 532e-9, 20e-6, 1.0)
    stored = doc["scans"][0]["model"] + doc["scans"][1]["model"]
    np.testing.assert_allclose(stored, model, rtol=0, atol=1e-12)
    # Weights of 1 to 5 per point: the error is at least the norm of the plain residuals.
    assert doc["error"] >= np.linalg.norm(doc["residuals"]) > 0
    assert doc["error"] < 1e-5
    assert data.with_suffix(".fit.png").read_bytes().startswith(b"\x89PNG")


@pytest.mark.slow  # six real fits
def test_batch_on_threads_matches_single_fits_and_skips_a_bad_file(measured, tmp_path, capsys):
    settings, data = measured
    text = data.read_text()
    paths = []
    for name in ("a", "b", "c", "d"):
        p = tmp_path / f"{name}.csv"
        p.write_text(text)
        paths.append(p)
    lines = text.splitlines(keepends=True)
    lines[3] = lines[3].rsplit(",", 1)[0] + "\n"  # a scan's cell missing on line 4
    paths[2].write_text("".join(lines))
    out = tmp_path / "out"
    args = ["batch", "-s", str(settings), *map(str, paths), "-d", str(out), "-j", "3", "--no-progress"]
    assert cli.main(args) == 1
    err = capsys.readouterr().err
    assert "kelp: skipped: " in err and "c.csv, line 4: expected 3 values" in err
    with open(out / "summary.csv", newline="") as f:
        summary = list(csv.DictReader(f))
    assert [r["status"] for r in summary] == ["ok", "ok", "failed", "ok"]
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(tmp_path / "single")]) == 0
    single = json.loads((tmp_path / "single.json").read_text())
    # The same data give the same fit on any thread, bit for bit.
    assert {float(r["k2"]) for r in summary if r["status"] == "ok"} == {single["fitted_parameters"]["k2"]}
    assert {float(r["error"]) for r in summary if r["status"] == "ok"} == {single["error"]}
    assert not (out / "c.fit.json").exists() and not list(out.glob(".*.tmp"))
