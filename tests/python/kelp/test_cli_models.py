"""The kelp command's two models: the settings that choose and tune them, simulate with either,
the model callable, and fit and batch with the open-aperture model."""
import csv
import json

import numpy as np
import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli
from kelp.errors import InputError
from kelp.models.forward import model_function
from kelp.io.settings import load_settings

forward = require_module("kelp.core._core")

BEAM = (1e-3, 100e-12, 532e-9, 20e-6, 1.0)  # sample_width, tau, wavelength, w0, M2 of CLI_SETTINGS


@pytest.fixture
def settings_file(tmp_path):
    path = tmp_path / "rsa.toml"
    path.write_text(CLI_SETTINGS)
    return path


def _loaded(path, *overrides):
    return load_settings(path, overrides)


def test_model_settings_and_their_defaults(settings_file):
    s = _loaded(settings_file)
    assert (s.model, s.t_slices, s.z_slices, s.radial_nodes, s.time_window) == ("on-axis", 5, 3, 6, 3.0)
    # The grid defaults follow the model; given values are kept.
    bare = settings_file.parent / "bare.toml"
    bare.write_text(CLI_SETTINGS.replace("t_slices = 5\n", "").replace("z_slices = 3\n", ""))
    assert (_loaded(bare).t_slices, _loaded(bare).z_slices) == (21, 11)
    s = _loaded(bare, "model=open-aperture", "radial_nodes=4", "time_window=2.5")
    assert (s.model, s.t_slices, s.z_slices, s.radial_nodes, s.time_window) == ("open-aperture", 31, 11, 4, 2.5)
    assert _loaded(settings_file, "model=open-aperture").t_slices == 5
    assert s.to_dict()["model"] == "open-aperture" and s.to_dict()["radial_nodes"] == 4

    for override, words in (("model=gaussian", "expected \"on-axis\" or \"resolved\" or \"open-aperture\", found 'gaussian'"),
                            ("radial_nodes=0", "setting 'radial_nodes': expected a whole number 1 to 100"),
                            ("radial_nodes=101", "setting 'radial_nodes': expected a whole number 1 to 100"),
                            ("radial_nodes=2.5", "setting 'radial_nodes': expected a whole number"),
                            ("time_window=0", "setting 'time_window': expected a positive number")):
        with pytest.raises(InputError, match=words):
            _loaded(settings_file, override)
    settings_file.write_text('model = "open aperture"\n' + CLI_SETTINGS)
    with pytest.raises(InputError, match=r"rsa.toml, line 1: setting 'model'"):
        _loaded(settings_file)


def test_model_function_is_each_core_model_bit_for_bit(settings_file):
    x = np.linspace(-14, 14, 7)
    pars = [1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13]
    s = _loaded(settings_file)
    on_axis = model_function(s)(x, pars)
    assert on_axis.shape == (2, 7)
    assert on_axis.ravel().tolist() == forward.model_curves(list(x), [5e-7, 1e-6], [1e20, 0, 0, 0, 0], pars, 5, 3,
                                                            *BEAM)
    s = _loaded(settings_file, "model=open-aperture", "radial_nodes=3")
    open_aperture = model_function(s)(x, pars)
    assert open_aperture.ravel().tolist() == forward.open_aperture_curves(
        list(x), [5e-7, 1e-6], [1e20, 0, 0, 0, 0], pars, 5, 3, *BEAM, radial_nodes=3, time_window=3.0)
    # Two different models: the open-aperture curve is not the on-axis one.
    assert np.max(np.abs(open_aperture - on_axis)) > 1e-3
    assert np.all(open_aperture[1] <= open_aperture[0])  # the higher energy dips deeper


def test_simulate_with_the_open_aperture_model(simulated, capsys):
    _, out = simulated(overrides=["model=open-aperture"], points=5, data="oa.csv")
    assert "resolved model" in capsys.readouterr().out
    table = np.loadtxt(out, delimiter=",", skiprows=1)
    expected = forward.open_aperture_curves(list(table[:, 0]), [5e-7, 1e-6], [1e20, 0, 0, 0, 0],
                                            [1e-18, 2e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13], 5, 3, *BEAM)
    assert table[:, 1:].T.ravel().tolist() == pytest.approx(expected, rel=0, abs=1e-15)


def test_fit_and_batch_with_the_open_aperture_model(simulated, tmp_path, capsys):
    open_aperture = ["model=open-aperture", "radial_nodes=3", "t_slices=7"]
    settings_file, data = simulated(overrides=[*open_aperture, "k2=1e-17"], points=11, noise=2e-3, data="oa.csv")
    model = [a for o in open_aperture for a in ("--set", o)]
    capsys.readouterr()

    def never(*args, **kwargs):
        raise AssertionError("fit_zscan fits the on-axis model only")

    out = tmp_path / "oa.fit"
    assert cli.main(["fit", str(data), "-s", str(settings_file), *model, "-o", str(out), "-q"],
                    fit_function=never) == 0
    text = capsys.readouterr().out
    doc = json.loads((tmp_path / "oa.fit.json").read_text())
    assert (tmp_path / "oa.fit.png").stat().st_size > 0
    assert doc["settings"]["model"] == "open-aperture" and "resolved model" in text
    refined = doc["refined"]
    # The keys of fit_zscan's result hold the best start's optimum, which "refined" assesses.
    assert doc["fitted_parameters"] == refined["parameters"] and doc["error"] == refined["error"]
    assert doc["parameters"]["k2"] == refined["parameters"]["k2"] == pytest.approx(1e-17, rel=0.05)
    assert 0 < refined["standard_errors"]["k2"] < 0.05 * 1e-17 and refined["converged"] is True
    starts = refined["starts"]
    assert [s["start"]["k2"] for s in starts] == pytest.approx([2e-17 * 10 ** -0.52, 2e-17, 2e-17 * 10 ** 0.52])
    assert min(s["error"] for s in starts) == refined["error"]
    assert refined["evaluations"] == sum(s["evaluations"] for s in starts)
    assert (doc["grid_check"]["t_slices"], doc["grid_check"]["z_slices"]) == (13, 5)
    assert isinstance(doc["warnings"], list)
    measured = np.array([scan["measured"] for scan in doc["scans"]])
    residuals = np.array([scan["residuals"] for scan in doc["scans"]])
    np.testing.assert_allclose(measured - residuals, [scan["model"] for scan in doc["scans"]], rtol=0, atol=1e-15)
    assert f"{refined['parameters']['k2']:.5g} ± " in text and "fit_zscan" not in text

    status = cli.main(["batch", str(data), "-d", str(tmp_path / "out"), "--no-progress", "-s", str(settings_file),
                       *model], fit_function=never)
    assert status == 0, capsys.readouterr().err
    with open(tmp_path / "out" / "summary.csv") as f:
        row = next(csv.DictReader(f))
    assert row["status"] == "ok" and float(row["k2"]) == float(row["k2_refined"]) == doc["parameters"]["k2"]
    assert float(row["k2_se"]) == refined["standard_errors"]["k2"]
