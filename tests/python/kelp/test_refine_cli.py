"""The refinement through the kelp command and the Python API: the JSON contract, the table,
--no-refine, the sanity checks at fit time, and a notebook's call."""
import json

import numpy as np
import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli

require_module("kelp.core._core", "scipy", "kelp_wrapper", "matplotlib")

import kelp  # noqa: E402

PREFIX_KEYS = {"data_file", "settings_file", "overrides", "figure_file", "fitted_parameters", "start_parameters",
               "parameters", "parameter_units", "error", "residuals", "scans", "settings", "wall_time_s",
               "versions", "data_format", "integrator_messages", "integrator_log"}


@pytest.fixture
def files(simulated):
    return simulated(overrides=["k2=1e-17"], noise=2e-3)


def _fit(settings, data, *extra):
    out = data.parent / "r"
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(out), *map(str, extra)]) == 0
    return json.loads((data.parent / "r.json").read_text())


def test_fit_writes_the_refined_result_and_no_refine_todays(files, capsys):
    settings, data = files
    doc = _fit(settings, data, "--set", "fit_focus=true")
    out = capsys.readouterr().out
    assert set(doc) == PREFIX_KEYS | {"refined", "grid_check", "warnings", "profile"}  # profiles by default
    refined = doc["refined"]
    assert set(refined) == {"parameters", "standard_errors", "correlation", "error", "evaluations", "converged"}
    assert list(refined["parameters"]) == list(refined["standard_errors"]) == ["k2", "focus"]
    assert refined["correlation"]["names"] == ["k2", "focus"] and len(refined["correlation"]["matrix"]) == 2
    assert refined["converged"] is True and isinstance(refined["evaluations"], int)
    assert refined["error"] <= doc["error"] and 0 < refined["standard_errors"]["k2"] < 0.02 * 1e-17
    assert set(doc["grid_check"]) == {"t_slices", "z_slices", "max_model_change", "signal", "residual_rms"}
    assert (doc["grid_check"]["t_slices"], doc["grid_check"]["z_slices"]) == (9, 5)
    assert any(w.startswith("the model's grid of 5 x 3 points") for w in doc["warnings"])
    k2, se = refined["parameters"]["k2"], refined["standard_errors"]["k2"]
    assert f"{k2:.5g} ± {se:.2g}" in out and f"{doc['fitted_parameters']['k2']:.5g}" in out
    assert "warnings:\n  - the model's grid" in out
    # --no-refine: fit_zscan's result alone, today's table.
    plain = _fit(settings, data, "--no-refine")
    out = capsys.readouterr().out
    assert set(plain) == PREFIX_KEYS | {"warnings"} and plain["warnings"] == []
    assert plain["fitted_parameters"] == doc["fitted_parameters"] and "±" not in out
    assert f"{'parameter':<10} {'start':>12} {'fitted':>12} {'change':>9}  unit\n" in out


def test_refit_on_the_doubled_grid_reports_the_movement(files):
    settings, data = files
    doc = _fit(settings, data, "--refit-fine-grid")
    refit = doc["grid_check"]["refit"]
    assert (refit["t_slices"], refit["z_slices"]) == (9, 5)
    # The coarse grid overstates the dip, so the finer grid needs a larger k2.
    assert refit["parameters"]["k2"] > doc["refined"]["parameters"]["k2"]
    moved = (refit["parameters"]["k2"] - doc["refined"]["parameters"]["k2"]) / doc["refined"]["standard_errors"]["k2"]
    assert refit["moved_standard_errors"]["k2"] == pytest.approx(moved, rel=1e-9)
    assert any("on the doubled grid (9 x 5) k2 moves by +" in w for w in doc["warnings"])


def test_sanity_checks_at_fit_time(files, capsys):
    settings, data = files
    reference = _fit(settings, data)["refined"]["parameters"]["k2"]
    lines = data.read_text().splitlines()
    shuffled = [lines[0]] + [lines[i] for i in (9, 1, 15, 4, 2, 12, 3, 5, 6, 7, 8, 10, 11, 13, 14)]
    data.write_text("\n".join(shuffled) + "\n")
    doc = _fit(settings, data)
    assert doc["warnings"][0].startswith("the rows are not in position order: sorted them by position")
    assert doc["scans"][0]["position_mm"] == sorted(doc["scans"][0]["position_mm"])
    assert doc["refined"]["parameters"]["k2"] == reference
    # Positions written in metres.
    table = np.loadtxt(data, delimiter=",", skiprows=1)
    table = table[np.argsort(table[:, 0])]
    table[:, 0] /= 1000
    np.savetxt(data, table, delimiter=",", header="position_m,T1,T2", comments="")
    doc = _fit(settings, data, "--no-refine")
    assert doc["warnings"][0].startswith("the positions span only 0.04 mm") and "look like metres" in doc["warnings"][0]
    capsys.readouterr()
    assert cli.main(["fit", str(data), "-s", str(settings), "--set", "M2=0.9"]) == 2
    assert "setting 'M2': 0.9 is impossible" in capsys.readouterr().err


def test_a_negative_fitted_value_restarts_the_refinement_from_the_settings(files):
    settings, data = files

    def negative_fit(x, y, *args, **kwargs):
        fitted = np.array(args[9], dtype=np.float64)
        fitted[1] = -3e-18
        return np.zeros_like(y), 1.0, fitted

    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(data.parent / "r")],
                    fit_function=negative_fit) == 0
    doc = json.loads((data.parent / "r.json").read_text())
    assert doc["warnings"][0] == ("fit_zscan's k2 is negative (-3e-18 cm²): not a physical value; the refinement "
                                  "starts from the settings' start value instead")
    assert doc["refined"]["parameters"]["k2"] == pytest.approx(1e-17, rel=0.05, abs=0)


def test_python_api_from_arrays_and_a_mapping(files, tmp_path):
    import tomllib

    from matplotlib.figure import Figure
    settings, data = files
    mapping = tomllib.loads(CLI_SETTINGS)
    table = np.loadtxt(data, delimiter=",", skiprows=1)
    result = kelp.fit_measurement((table[:, 0], table[:, 1:]), mapping, overrides=["n_starts=1"])
    from_files = kelp.fit_measurement(str(data), str(settings), overrides=["n_starts=1"])
    assert result.parameters == from_files.parameters and set(result.parameters) == {"k2"}
    assert result.standard_errors["k2"] == result.document["refined"]["standard_errors"]["k2"]
    assert result.document["settings"]["n_starts"] == 1 and result.document["figure_file"] is None
    assert "±" in str(result) and str(result) == result.summary()
    figure = result.figure()
    assert isinstance(figure, Figure) and len(figure.axes) == 3  # scans, residuals, the profile of k2
    json_path, png_path = result.save(tmp_path / "nb")
    assert json.loads(open(json_path).read())["refined"]["parameters"] == result.parameters
    with pytest.raises(kelp.errors.InputError, match="transmittances: expected one row of 15 values"):
        kelp.fit_measurement((table[:, 0], table[:7, 1:]), mapping)
